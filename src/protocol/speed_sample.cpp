#include "protocol/speed_sample.h"

#include <cmath>

#include "protocol/protocol_failure.h"
#include "protocol/safe_text.h"

namespace sorvanta {

std::optional<double> SpeedSample::bitsPerSecond() const {
    return bitsPerSecondOf(bytes, seconds);
}

void SpeedSample::validate(bool requireMeasuring, double minimumSeconds) const {
    if (intervals.size() > maximumIntervals) {
        throw ProtocolFailure::malformed;
    }
    if (seriesReason &&
        (seriesReason->size() > maximumSeriesReasonBytes || !isSafeText(*seriesReason))) {
        throw ProtocolFailure::malformed;
    }
    if (!std::isfinite(seconds) || seconds < 0 || seconds > maximumSeconds) {
        throw ProtocolFailure::malformed;
    }
    if (rollingBps && (!std::isfinite(*rollingBps) || *rollingBps < 0)) {
        throw ProtocolFailure::malformed;
    }
    if (!requireMeasuring) {
        return;
    }
    if (!measuring || !(seconds >= minimumSeconds) || !(seconds > 0) ||
        !std::isfinite(static_cast<double>(bytes) * 8.0 / seconds)) {
        throw ProtocolFailure::malformed;
    }
}

SpeedSample SpeedSample::fromJson(const json::ObjectReader& r) {
    return readFields<SpeedSample>(r);
}

void SpeedSample::toJson(json::ObjectWriter& w) const {
    writeFields(*this, w);
}

}  // namespace sorvanta
