#include "engines/udp_receiver.h"

#include <algorithm>
#include <cmath>

#include "protocol/protocol_failure.h"

namespace sorvanta {

void UDPReceiver::noteQueueDrops(std::int64_t total) noexcept {
    if (total > queueDrops) {
        unmatchedQueueDrops += total - queueDrops;
        queueDrops = total;
    }
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

    if (s > highest + 1) {
        const std::int64_t missing = s - highest - 1;
        if (unmatchedQueueDrops > 0) {
            --unmatchedQueueDrops;
            queueDropHoles += missing;
        } else {
            const std::size_t bin = holeBin(delay);
            holes[bin] += missing;
            if (gaps.size() < maximumGaps) {
                gaps.push_back(Gap{highest + 1, s, bin});
            }
        }
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
