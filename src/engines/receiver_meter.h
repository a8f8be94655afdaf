#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/speed_sample.h"
#include "protocol/throughput_interval.h"

namespace sorvanta {

// Turns the payload arriving on one receiving data connection into that direction's
// measurement: counts bytes, waits out the warm-up, starts the measured interval (by itself,
// or at the sequencer's barrier when `barrierControlled`), keeps a rolling rate over about
// the last second and a series of one-second intervals, and fixes the final sample once the
// measured duration has passed. It reads no clock: every time is seconds since the owning
// engine's epoch. Every refusal throws ProtocolFailure and leaves the meter usable.
class ReceiverMeter {
  public:
    struct Point {
        double time = 0;
        std::uint64_t bytes = 0;
        bool operator==(const Point&) const = default;
    };

    static constexpr double defaultWarmup = 2.0;
    static constexpr double defaultDuration = 10.0;
    static constexpr std::size_t maximumSeries = 64;
    static constexpr std::size_t maximumHistory = 8;
    static constexpr const char* seriesLimitReason = "Receiver series record limit reached.";

    explicit ReceiverMeter(bool barrierControlled = false, double warmup = defaultWarmup,
                           double duration = defaultDuration);

    // One received chunk of `bytes` at `time`. Constant work, no allocation. Throws
    // malformed after the result, for a negative count or a time that is not finite or runs
    // backwards; invalidLength when the total would overflow (the time is still taken).
    void record(std::int64_t bytes, double time);

    // The sample at `time`: idle or warming samples report no bytes; measuring samples the
    // bytes since the start; the first sample at least `duration` after the start becomes
    // the final result, which every later sample returns unchanged. Throws malformed for a
    // time that is not finite or runs backwards.
    SpeedSample sample(double time);

    // The measurement barrier: starts the measured interval at `time`. Throws
    // unexpectedMessage, changing nothing, unless barrier-controlled, not yet started, no
    // result, `time` finite and not earlier than the last accepted time, and the warm-up
    // has passed since the first payload.
    void beginMeasurement(double time);

    double warmup() const { return warmup_; }
    double duration() const { return duration_; }
    bool barrierControlled() const { return barrierControlled_; }
    std::uint64_t total() const { return total_; }
    const std::optional<double>& firstPayload() const { return firstPayload_; }
    const std::optional<Point>& start() const { return start_; }
    const std::optional<SpeedSample>& result() const { return result_; }
    const std::vector<ThroughputInterval>& series() const { return series_; }
    const std::vector<Point>& history() const { return history_; }

  private:
    void trimHistory(double time);

    double warmup_;
    double duration_;
    std::uint64_t total_ = 0;
    std::optional<double> firstPayload_;
    std::optional<Point> start_;
    std::optional<SpeedSample> result_;
    std::vector<ThroughputInterval> series_;
    std::optional<Point> seriesPoint_;
    std::optional<std::string> seriesReason_;
    std::vector<Point> history_;
    bool barrierControlled_;
    double previousTime_ = 0;
};

}  // namespace sorvanta
