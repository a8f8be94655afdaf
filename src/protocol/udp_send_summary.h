#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "support/json_codec.h"

namespace sorvanta {

// The sending side's account of one UDP probe leg. Times are seconds since the probe
// engine's epoch; counts are datagrams.
struct UDPSendSummary {
    // Every probe datagram carries this many bytes.
    static constexpr std::int64_t datagramBytes = 1200;
    static constexpr std::int64_t maximumAttempted = 3'000'000;
    static constexpr double maximumSeconds = 8.0;
    static constexpr std::int64_t maximumInFlightLimit = 128;
    // Limit of every time field.
    static constexpr double maximumTime = 15.0;
    // Submissions without a measured window must lie within 0 … this time.
    static constexpr double submissionsUpperWithoutWindow = 10.0;
    static constexpr std::size_t maximumReasonBytes = 256;
    static constexpr double windowTolerance = 1e-9;

    // A sender offered what was asked when it stayed this close to the planned length,
    // never paused longer than the gap below and offered a share of the capacity within
    // the two bounds (it paces at 75 %).
    static constexpr double plannedSecondsTolerance = 0.1;
    static constexpr double maximumCoveringGap = 0.01;
    static constexpr double lowestOfferedShare = 0.7;
    static constexpr double highestOfferedShare = 0.8;
    // The pacer offers 75 % of a capacity, but never more than this many datagrams a second
    // (it is then `capped`): the largest capacity it can offer its share of.
    static constexpr double pacedShare = 0.75;
    static constexpr double largestPacedDatagramsPerSecond = 1'000'000;
    static constexpr double largestPacedCapacity =
        largestPacedDatagramsPerSecond * static_cast<double>(datagramBytes) * 8 / pacedShare;

    std::int64_t attempted = 0;
    std::int64_t accepted = 0;
    std::int64_t failed = 0;
    double seconds = 0;
    std::optional<double> measurementStart;
    std::optional<double> measurementEnd;
    std::optional<double> firstSubmission;
    std::optional<double> lastSubmission;
    // Pacing ticks that came more than 1 ms after the tick before.
    std::int64_t pacingGaps = 0;
    // Send slots owed at a tick but dropped as beyond what the pacer could submit then.
    std::int64_t discardedSlots = 0;
    double maximumGap = 0;
    std::int64_t maximumInFlight = 0;
    // The pacer ran at its rate ceiling instead of the rate asked of it.
    bool capped = false;
    // Why the summary is incomplete or unreliable; absent on a clean send.
    std::optional<std::string> reason;

    bool operator==(const UDPSendSummary&) const = default;

    // Throws ProtocolFailure::malformed at the first rule the summary breaks.
    void validate() const;

    // Whether the sender offered the intended share of `capacity` (bits per second) over
    // the planned time, on time and without stalls. False for a summary that fails
    // validation; never throws.
    bool coversIntendedRange(double capacity, double plannedSeconds) const noexcept;

    static UDPSendSummary fromJson(const json::ObjectReader& r);
    void toJson(json::ObjectWriter& w) const;
};

}  // namespace sorvanta
