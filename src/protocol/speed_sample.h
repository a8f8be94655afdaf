#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/record_fields.h"
#include "protocol/throughput_interval.h"
#include "support/json_codec.h"

namespace sorvanta {

// What one receiver measured for one direction.
struct SpeedSample {
    static constexpr std::size_t maximumIntervals = 64;
    static constexpr std::size_t maximumSeriesReasonBytes = 256;
    static constexpr double maximumSeconds = 30;

    std::uint64_t bytes = 0;
    double seconds = 0;
    std::optional<double> rollingBps;
    bool measuring = false;
    std::vector<ThroughputInterval> intervals;
    std::optional<std::string> seriesReason;

    bool operator==(const SpeedSample&) const = default;

    // bytes × 8 ÷ seconds; absent unless seconds is finite and positive and the quotient
    // finite.
    std::optional<double> bitsPerSecond() const;

    // Checks a sample received from the peer; throws ProtocolFailure::malformed at the
    // first breach. With `requireMeasuring` the sample must be a final measuring sample
    // covering at least `minimumSeconds`.
    void validate(bool requireMeasuring, double minimumSeconds) const;

    static constexpr auto fields() {
        return std::tuple{recordField("bytes", &SpeedSample::bytes),
                          recordField("seconds", &SpeedSample::seconds),
                          recordField("rollingBps", &SpeedSample::rollingBps),
                          recordField("measuring", &SpeedSample::measuring),
                          recordField("intervals", &SpeedSample::intervals),
                          recordField("seriesReason", &SpeedSample::seriesReason)};
    }
    static SpeedSample fromJson(const json::ObjectReader& r);
    void toJson(json::ObjectWriter& w) const;
};

}  // namespace sorvanta
