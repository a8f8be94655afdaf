#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace sorvanta {

// The summary of one receiver series, computed by the assessment: the median and lowest
// one-second rate in bits per second and the series' coverage and faults.
struct ConsistencySummary {
    std::optional<double> median;
    std::optional<double> lowest;
    double coverage = 0;
    std::int64_t validIntervals = 0;
    std::int64_t consecutiveDips = 0;
    std::int64_t stalls = 0;
    std::optional<std::string> reason;

    bool operator==(const ConsistencySummary&) const = default;
};

}  // namespace sorvanta
