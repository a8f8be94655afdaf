#include "protocol/throughput_interval.h"

#include <cmath>

namespace sorvanta {

std::optional<double> bitsPerSecondOf(std::uint64_t bytes, double seconds) {
    if (!std::isfinite(seconds) || !(seconds > 0)) {
        return std::nullopt;
    }
    // In double from the start: a peer-supplied byte count times 8 must never wrap.
    double value = static_cast<double>(bytes) * 8.0 / seconds;
    if (!std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

std::optional<double> ThroughputInterval::bitsPerSecond() const {
    return bitsPerSecondOf(bytes, end - start);
}

ThroughputInterval ThroughputInterval::fromJson(const json::ObjectReader& r) {
    return readFields<ThroughputInterval>(r);
}

void ThroughputInterval::toJson(json::ObjectWriter& w) const {
    writeFields(*this, w);
}

}  // namespace sorvanta
