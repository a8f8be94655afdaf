#pragma once

#include <cstdint>
#include <optional>

#include "protocol/udp_send_summary.h"

namespace sorvanta {

// Paces the probe datagrams of one sending leg: 75 % of the leg's capacity in 1200-byte
// datagrams, at most 1,000,000 a second, in bursts of about 1 ms of datagrams per tick. A
// tick that comes late may catch up to 4 ms of datagrams (at most 16); slots beyond that, or
// beyond 128 sends in flight, are dropped and counted, never sent later.
struct UDPPacer {
    static constexpr double bitsPerDatagram = 9600;
    static constexpr double offeredShare = UDPSendSummary::pacedShare;
    static constexpr double maximumPacketsPerSecond = UDPSendSummary::largestPacedDatagramsPerSecond;
    static constexpr std::int64_t largestBurst = 16;
    static constexpr std::int64_t maximumInFlight = 128;
    static constexpr std::int64_t maximumAttempts = 3'000'000;
    // A tick later than this after the one before counts as a gap.
    static constexpr double gapThreshold = 0.001;

    double packetsPerSecond = 0;
    std::int64_t burst = 1;
    std::int64_t catchUp = 1;
    bool capped = false;
    std::optional<double> next;
    std::optional<double> previous;
    std::int64_t gaps = 0;
    std::int64_t discarded = 0;
    double maximumGap = 0;

    // Throws ProtocolFailure::malformed unless `capacity` (bits per second) is finite and
    // above 0.
    explicit UDPPacer(double capacity);

    // The datagrams to send at the tick at `now` (seconds), given the sends not yet completed
    // and the datagrams attempted so far. Bad input or a clock that ran backwards gives 0.
    std::int64_t due(std::int64_t inFlight, std::int64_t attempted, double now) noexcept;
};

}  // namespace sorvanta
