#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/udp_queue_delay.h"

namespace sorvanta {

// Accounts every accepted probe datagram of one receiving leg: unique and duplicate
// datagrams (a seen-bitmap of every possible sequence number, allocated once), late
// arrivals, sequence gaps binned by the queue delay at the time, one-way queue delay and
// RFC 3550 interarrival jitter. Constant work per datagram but for a binary search over the
// gaps when one arrives late.
struct UDPReceiver {
    static constexpr std::int64_t sequenceLimit = 3'000'000;
    static constexpr std::size_t holeBins = 129;
    static constexpr double holeBinWidth = 0.00025;
    static constexpr std::size_t maximumGaps = 65'536;
    static constexpr double highJitter = 0.01;
    static constexpr double timingArithmeticLimit = 10.0;
    static constexpr double timestampSpanSlack = 2.0;
    // The most datagrams one entry of the socket's receive queue holds: the kernel merges at
    // most 64 into one coalesced entry, and a segmented send of probe datagrams, within 64 KB,
    // carries fewer.
    static constexpr std::int64_t datagramsPerQueueEntry = 64;

    struct Gap {
        std::int64_t start = 0;  // first missing sequence number
        std::int64_t end = 0;    // the sequence number whose arrival revealed the gap
        std::size_t bin = 0;     // hole bin of the queue delay at that moment
        bool operator==(const Gap&) const = default;
    };

    struct Datagram {
        std::int64_t sequence = 0;
        bool probe = true;
        double sendTime = 0;  // on the sender's epoch
        double arrival = 0;   // on the receiver's epoch
        // The socket's count of entries its full receive queue had dropped when this datagram
        // was queued.
        std::int64_t queueDrops = 0;
    };

    struct Times {
        double arrival = 0;
        double send = 0;
    };

    std::vector<std::uint64_t> seen = std::vector<std::uint64_t>((sequenceLimit + 63) / 64, 0);
    std::int64_t unique = 0;
    std::int64_t duplicates = 0;
    std::int64_t outOfOrder = 0;
    // Datagrams the engine refused; counted by the engine.
    std::int64_t rejected = 0;
    std::int64_t highest = -1;
    std::optional<Times> previous;
    std::optional<double> firstArrival;
    std::optional<double> firstSend;
    std::optional<double> fastestTransit;
    UDPQueueDelay queueDelay;
    double planned = 3.0;
    std::array<std::int64_t, holeBins> holes{};
    std::vector<Gap> gaps;
    double lastDelay = 0;
    double jitter = 0;
    double maximumJitter = 0;
    double highSeconds = 0;
    double currentHigh = 0;
    double sustainedHigh = 0;
    std::optional<std::string> timingReason;
    std::int64_t overruns = 0;
    // The socket's own receive queue: its count of dropped entries when the datagram that
    // last raised `highest` was queued, its running count as last noted, and the missing
    // datagrams put down to it, which stay out of `holes` and `gaps`: lost here, not on the
    // link. A hole is put down to the queue only as far as the entries dropped between the two
    // datagrams around it can hold; an entry never explains a later hole or the tail.
    std::int64_t queueDrops = 0;
    std::int64_t latestQueueDrops = 0;
    std::int64_t queueDropHoles = 0;

    // Throws ProtocolFailure::malformed, leaving the receiver unchanged, for a datagram that
    // is not a probe, a send time that is not finite and at least 0, a sequence number out of
    // range, or an arrival that is not finite or earlier than the one before. A duplicate is
    // counted, not refused.
    void record(const Datagram& datagram);

    // Takes the socket's running count of dropped entries (at the end of the leg), so that
    // the entries dropped after the highest datagram can explain a tail. A count that goes
    // back is ignored.
    void noteQueueDrops(std::int64_t total) noexcept;

    // How many of `missing` datagrams after the highest one the entries dropped since it was
    // queued can explain.
    std::int64_t queueTail(std::int64_t missing) const noexcept;

    // The hole bin of a queue delay in seconds: 0.25 ms steps, 0 for a delay that is not a
    // positive finite number, at most 128.
    static std::size_t holeBin(double delay) noexcept;
};

}  // namespace sorvanta
