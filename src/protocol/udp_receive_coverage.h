#pragma once

#include <cstdint>
#include <optional>

#include "support/json_codec.h"

namespace sorvanta {

// How regularly the receiving side's receive service ran during a probe leg. Times are
// seconds since the probe engine's epoch.
struct UDPReceiveCoverage {
    static constexpr std::int64_t maximumChecks = 15'000;
    static constexpr double maximumGapLimit = 8.0;
    static constexpr double maximumTime = 15.0;
    // A check that comes more than this long after the one before is delayed.
    static constexpr double delayedGap = 0.006;
    static constexpr double meanGapTolerance = 1e-9;

    std::int64_t checks = 0;
    double maximumGap = 0;
    std::int64_t delayedChecks = 0;
    std::optional<double> first;
    std::optional<double> last;

    bool operator==(const UDPReceiveCoverage&) const = default;

    // Records one service check at `time`. Counts every call; `validate` refuses a coverage
    // beyond `maximumChecks`.
    void record(double time) noexcept;

    // Throws ProtocolFailure::malformed at the first rule the coverage breaks.
    void validate() const;

    static UDPReceiveCoverage fromJson(const json::ObjectReader& r);
    void toJson(json::ObjectWriter& w) const;
};

}  // namespace sorvanta
