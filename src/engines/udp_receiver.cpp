#include "engines/udp_receiver.h"

#include <algorithm>
#include <cmath>

#include "protocol/protocol_failure.h"

namespace sorvanta {

namespace {

// How many of `missing` datagrams the entries dropped between the counts `before` (at least
// 0) and `after` can hold.
std::int64_t heldBy(std::int64_t before, std::int64_t after, std::int64_t missing) noexcept {
    if (after <= before || missing <= 0) {
        return 0;
    }
    const std::int64_t entries = after - before;
    if (entries >= missing) {  // each entry holds at least one
        return missing;
    }
    return std::min(missing, entries * UDPReceiver::datagramsPerQueueEntry);
}

}  // namespace

void UDPReceiver::noteQueueDrops(std::int64_t total) noexcept {
    latestQueueDrops = std::max(latestQueueDrops, total);
}

std::int64_t UDPReceiver::queueTail(std::int64_t missing) const noexcept {
    return heldBy(queueDrops, latestQueueDrops, missing);
}

std::size_t UDPReceiver::holeBin(double delay) noexcept {
    if (!std::isfinite(delay) || !(delay > 0)) {
        return 0;
    }
    return static_cast<std::size_t>(std::min(delay / holeBinWidth, double(holeBins - 1)));
}

void UDPReceiver::record(const Datagram& d) {
    const double a = d.arrival;
    const double t = d.sendTime;
    const std::int64_t s = d.sequence;
    if (!d.probe || !std::isfinite(t) || t < 0 || s < 0 || s >= sequenceLimit ||
        !std::isfinite(a)) {
        throw ProtocolFailure::malformed;
    }
    if (previous ? a < previous->arrival : a < 0) {
        throw ProtocolFailure::malformed;
    }
    auto& word = seen[static_cast<std::size_t>(s) / 64];
    const std::uint64_t bit = std::uint64_t{1} << (s % 64);
    if (word & bit) {
        ++duplicates;
        return;
    }
    word |= bit;
    ++unique;

    if (!firstArrival) {
        firstArrival = a;
        firstSend = t;
    }
    if (std::fabs(t - *firstSend) > planned + timestampSpanSlack) {
        timingReason = "Implausible submission timestamp span.";
    }

    double delay = 0;
    const double transit = a - t;
    if (std::isfinite(transit)) {
        fastestTransit = fastestTransit ? std::min(*fastestTransit, transit) : transit;
        delay = transit - *fastestTransit;
        queueDelay.add(delay);
    }

    if (s > highest) {
        // Only the entries dropped between the datagram before the hole and this one can be
        // datagrams of the hole.
        const std::int64_t missing = s - highest - 1;
        const std::int64_t queued = heldBy(queueDrops, d.queueDrops, missing);
        queueDropHoles += queued;
        if (missing > queued) {
            const std::size_t bin = holeBin(delay);
            holes[bin] += missing - queued;
            if (gaps.size() < maximumGaps) {
                gaps.push_back(Gap{highest + 1, s, bin});
            }
        }
        queueDrops = std::max(queueDrops, d.queueDrops);
    }
    lastDelay = delay;

    if (s < highest) {
        ++outOfOrder;
        // Gaps are found in increasing order of start: the last one starting at or before s.
        const auto after =
            std::upper_bound(gaps.begin(), gaps.end(), s,
                             [](std::int64_t value, const Gap& gap) { return value < gap.start; });
        if (after != gaps.begin()) {
            const Gap& gap = *(after - 1);
            if (s < gap.end && holes[gap.bin] > 0) {
                --holes[gap.bin];
            }
        }
    }
    highest = std::max(highest, s);

    if (previous) {
        const double arrivalInterval = a - previous->arrival;
        const double difference = arrivalInterval - (t - previous->send);
        if (!std::isfinite(difference) || std::fabs(difference) > timingArithmeticLimit) {
            timingReason = "Invalid timing arithmetic.";
        } else {
            const double old = jitter;
            jitter = old + (std::fabs(difference) - old) * 0.0625;
            maximumJitter = std::max(maximumJitter, jitter);
            if (old > highJitter && jitter > highJitter) {
                highSeconds += arrivalInterval;
                currentHigh += arrivalInterval;
            } else {
                currentHigh = 0;
            }
            sustainedHigh = std::max(sustainedHigh, currentHigh);
        }
    }
    previous = Times{a, t};
}

}  // namespace sorvanta
