#include "engines/receiver_meter.h"

#include <cmath>
#include <limits>

#include "protocol/protocol_failure.h"

namespace sorvanta {

ReceiverMeter::ReceiverMeter(bool barrierControlled, double warmup, double duration)
    : warmup_(warmup), duration_(duration), barrierControlled_(barrierControlled) {
    // Both lists are bounded; reserving once keeps sampling free of reallocation.
    series_.reserve(maximumSeries);
    history_.reserve(maximumHistory + 1);
}

void ReceiverMeter::record(std::int64_t bytes, double time) {
    if (result_ || bytes < 0 || !std::isfinite(time) || time < previousTime_) {
        throw ProtocolFailure::malformed;
    }
    previousTime_ = time;
    const auto count = static_cast<std::uint64_t>(bytes);
    if (count > std::numeric_limits<std::uint64_t>::max() - total_) {
        throw ProtocolFailure::invalidLength;
    }
    total_ += count;
    if (count > 0 && !firstPayload_) {
        firstPayload_ = time;
    }
}

SpeedSample ReceiverMeter::sample(double time) {
    if (!std::isfinite(time) || time < previousTime_) {
        throw ProtocolFailure::malformed;
    }
    previousTime_ = time;
    if (result_) {
        return *result_;
    }
    if (!firstPayload_) {
        return {};
    }
    if (!barrierControlled_ && !start_ && time - *firstPayload_ >= warmup_) {
        start_ = seriesPoint_ = Point{time, total_};
        history_.assign(1, *start_);
    }
    if (!start_) {
        return {0, time - *firstPayload_, std::nullopt, false, {}, std::nullopt};
    }
    if (total_ < start_->bytes) {
        throw ProtocolFailure::malformed;
    }
    const std::uint64_t measured = total_ - start_->bytes;

    std::optional<double> rolling;
    if (!history_.empty() && time - history_.front().time >= 0.75) {
        rolling = bitsPerSecondOf(total_ - history_.front().bytes, time - history_.front().time);
    }
    const double elapsed = time - start_->time;

    if (seriesPoint_ && time > seriesPoint_->time &&
        (time - seriesPoint_->time >= 1.0 || elapsed >= duration_)) {
        if (series_.size() >= maximumSeries) {
            seriesReason_ = seriesLimitReason;
        } else {
            series_.push_back(
                {seriesPoint_->time - start_->time, elapsed, total_ - seriesPoint_->bytes});
        }
        seriesPoint_ = Point{time, total_};
    }

    SpeedSample sample{measured, elapsed, rolling, true, {}, std::nullopt};
    if (elapsed >= duration_) {
        sample.intervals = series_;
        sample.seriesReason = seriesReason_;
        result_ = sample;
    }
    history_.push_back({time, total_});
    trimHistory(time);
    return sample;
}

void ReceiverMeter::trimHistory(double time) {
    if (history_.size() < 3) {
        return;
    }
    // Keep the newest point that is at least a second old as the oldest, so the next
    // rolling rate spans a little over one second.
    std::size_t drop = 0;
    while (history_.size() - drop > 2 && time - history_[drop + 1].time >= 1.0) {
        ++drop;
    }
    if (history_.size() - drop > maximumHistory) {
        drop = history_.size() - maximumHistory;
    }
    history_.erase(history_.begin(), history_.begin() + static_cast<std::ptrdiff_t>(drop));
}

void ReceiverMeter::beginMeasurement(double time) {
    if (!barrierControlled_ || start_ || result_ || !std::isfinite(time) || time < previousTime_ ||
        !firstPayload_ || !(time - *firstPayload_ >= warmup_)) {
        throw ProtocolFailure::unexpectedMessage;
    }
    previousTime_ = time;
    start_ = seriesPoint_ = Point{time, total_};
    history_.assign(1, *start_);
}

}  // namespace sorvanta
