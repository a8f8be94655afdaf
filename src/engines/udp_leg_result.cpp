#include "engines/udp_leg_result.h"

#include <algorithm>
#include <numeric>

namespace sorvanta::udp_leg_result {

namespace {

constexpr double tailAllowance = 0.6;
// Arrival rate × largest queue delay at or above this many datagrams means the receive
// queue overflowed; holes at the largest delays are then explained by it.
constexpr double queueOverflowDatagrams = 128.0;
constexpr double explainedDelayShare = 0.8;
constexpr double minimumArrivalShare = 0.8;
constexpr std::int64_t minimumTimingDatagrams = 32;

std::optional<std::string> countReason(const UDPSendSummary& send, const UDPReceiver& r) {
    if (r.highest >= send.accepted || send.accepted < r.unique) {
        return "Received sequence range conflicts with the reliable sender count.";
    }
    if (send.accepted != send.attempted || send.failed > 0) {
        return "Local UDP send errors make probe loss unavailable.";
    }
    return std::nullopt;
}

double arrivalSpan(const UDPReceiver& r) {
    return r.previous && r.firstArrival ? r.previous->arrival - *r.firstArrival : 0.0;
}

// Holes not explained by a receive queue that overflowed; the datagrams missing after the
// last one received count as one hole at the last observed delay, but for those the entries
// the socket's own queue dropped after the last one can hold. Holes already put down to the
// socket's drops are not among the bins.
std::int64_t unexplainedHoles(const UDPSendSummary& send, const UDPReceiver& r, double span) {
    auto holes = r.holes;
    if (r.highest + 1 < send.accepted) {
        const std::int64_t tail = send.accepted - r.highest - 1;
        holes[UDPReceiver::holeBin(r.lastDelay)] += tail - r.queueTail(tail);
    }
    const std::int64_t total = std::accumulate(holes.begin(), holes.end(), std::int64_t{0});
    const double rate = span > 0 ? static_cast<double>(r.unique) / span : 0.0;
    const double largestDelay = r.queueDelay.maximum;
    std::int64_t explained = 0;
    if (rate * largestDelay >= queueOverflowDatagrams) {
        const double threshold =
            std::min(static_cast<double>(UDPReceiver::holeBins - 1) * UDPReceiver::holeBinWidth,
                     explainedDelayShare * largestDelay);
        for (std::size_t i = 0; i < holes.size(); ++i) {
            if (static_cast<double>(i + 1) * UDPReceiver::holeBinWidth >= threshold) {
                explained += holes[i];
            }
        }
    }
    return total - explained;
}

std::optional<std::string> timingReason(const UDPReceiver& r, double span) {
    if (r.timingReason) {
        return r.timingReason;
    }
    if (r.unique < minimumTimingDatagrams || span < minimumArrivalShare * r.planned) {
        return "Less than 80% arrival span or 32 timing observations.";
    }
    return std::nullopt;
}

// The fields both kinds of result fill alike.
UDPObservation common(const UdpLegFacts& facts, const UdpLegState& state, UDPSendSummary send) {
    const UDPReceiver& r = state.receiver;
    const double span = arrivalSpan(r);
    UDPObservation o;
    o.run = facts.binding.run;
    o.session = facts.binding.session;
    o.probe = facts.binding.probe;
    o.sender = facts.binding.sender;
    o.leg = facts.binding.leg;
    o.capacity = facts.capacity;
    // The sequencer puts the attempt's own values in.
    o.attempt = 0;
    o.plannedSeconds = 3.0;
    o.unique = r.unique;
    o.duplicates = r.duplicates;
    o.outOfOrder = r.outOfOrder;
    o.rejected = r.rejected;
    o.receiverOverruns = r.overruns;
    o.queueDelay = r.queueDelay;
    o.arrivalSpan = span;
    if (r.unique >= 2) {
        o.jitter = r.jitter;
        o.maximumJitter = r.maximumJitter;
    }
    o.highJitterSeconds = r.sustainedHigh;
    o.timingReason = timingReason(r, span);
    o.countReason = countReason(send, r);
    o.unexplainedHoles = unexplainedHoles(send, r, span);
    o.send = std::move(send);
    return o;
}

}  // namespace

UDPObservation completed(const UdpLegFacts& facts, const UdpLegState& state, double now) {
    const double tail = state.tailStart ? now - *state.tailStart : 0.0;
    auto o = common(facts, state, state.senderSummary.value_or(UDPSendSummary{}));
    if (state.receiver.overruns > 0) {
        o.reason =
            "The receiving Mac limited the quality check: receive queue service was delayed.";
    } else if (tail > tailAllowance) {
        o.reason = "Receiver tail scheduling exceeded the intended allowance.";
    } else {
        o.reason = o.countReason;
    }
    o.receiveCoverage = state.receiveCoverage;
    o.tailSeconds = tail;
    o.senderPath = state.senderPath;
    o.receiverPath = state.path;
    return o;
}

std::optional<UDPObservation> interrupted(const UdpLegFacts& facts, const UdpLegState& state,
                                          double now) {
    if (!state.receipt && !state.started) {
        return std::nullopt;
    }
    UDPSendSummary send;
    if (facts.receiving) {
        if (state.senderSummary) {
            send = *state.senderSummary;
        } else {
            send.reason = "Reliable sender summary missing.";
        }
    } else {
        send = state.summary;
        if (state.started) {
            const double end = state.stopped.value_or(now);
            send.measurementEnd = end;
            send.seconds = end - *state.started;
        }
    }
    if (!send.reason) {
        send.reason = "Probe interrupted before final evidence exchange.";
    }
    send.pacingGaps = state.pacer.gaps;
    send.discardedSlots = state.pacer.discarded;
    send.maximumGap = state.pacer.maximumGap;

    auto o = common(facts, state, std::move(send));
    o.reason = "Interrupted probe; final range/tail evidence is incomplete.";
    o.tailSeconds = state.tailStart ? now - *state.tailStart : 0.0;
    if (facts.receiving) {
        o.receiveCoverage = state.receiveCoverage;
        o.senderPath = state.senderPath;
        o.receiverPath = state.path;
    } else {
        o.unique = state.remoteCount;
        o.senderPath = state.path;
        o.receiverPath = "Final receiver evidence unavailable";
    }
    return o;
}

}  // namespace sorvanta::udp_leg_result
