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
    // The socket's own receive queue: its running count of dropped entries, those no hole
    // has yet been put down to, and the datagrams of the holes put down to them. Such holes
    // stay out of `holes` and `gaps`: they were lost here, not on the link.
    std::int64_t queueDrops = 0;
    std::int64_t unmatchedQueueDrops = 0;
    std::int64_t queueDropHoles = 0;

    // Throws ProtocolFailure::malformed, leaving the receiver unchanged, for a datagram that
    // is not a probe, a send time that is not finite and at least 0, a sequence number out of
    // range, or an arrival that is not finite or earlier than the one before. A duplicate is
    // counted, not refused.
    void record(const Datagram& datagram);

    // Whether recording `sequence` would find a hole before it: the only moment the drops
    // noted so far are matched, so the one moment a reader must have noted them by.
    bool revealsHole(std::int64_t sequence) const noexcept { return sequence > highest + 1; }

    // Takes the socket's running count of entries its full receive queue dropped, read
    // before a datagram that reveals a hole is recorded; the next holes found are then put
    // down to those drops, one entry each. An entry may hold a run of datagrams the kernel
    // kept coalesced (sent as one segmented write), so a hole found while any drop is
    // unmatched is the queue's whole and, however long, matches only the one entry it must at
    // least have come from. A count that goes back is ignored.
    void noteQueueDrops(std::int64_t total) noexcept;

    // The hole bin of a queue delay in seconds: 0.25 ms steps, 0 for a delay that is not a
    // positive finite number, at most 128.
    static std::size_t holeBin(double delay) noexcept;
};

}  // namespace sorvanta
