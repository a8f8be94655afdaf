#include "protocol/udp_observation.h"

#include <algorithm>

#include "protocol/udp_binding.h"
#include "protocol/udp_rules.h"

namespace sorvanta {

using namespace udp_rules;

namespace {

bool contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

bool isCleanSend(const UDPSendSummary& send) {
    return !send.reason && send.failed == 0 && send.accepted >= 1;
}

}  // namespace

void UDPObservation::validate() const {
    send.validate();
    if (receiveCoverage) {
        receiveCoverage->validate();
    }
    if (queueDelay) {
        queueDelay->validate();
    }
    require(!unexplainedHoles || isCountWithin(*unexplainedHoles, maximumUnexplainedHoles));
    require(UDPBinding::isLeg(leg) && (attempt == 0 || attempt == 1));
    require(std::isfinite(plannedSeconds) && plannedSeconds >= minimumPlannedSeconds &&
            plannedSeconds <= maximumPlannedSeconds);
    require(std::isfinite(capacity) && capacity > 0);
    require(unique >= 0 && (reason || unique <= send.attempted));
    require(duplicates >= 0 && isCountWithin(outOfOrder, unique) && rejected >= 0 &&
            receiverOverruns >= 0);
    require(isWithin(arrivalSpan, maximumArrivalSpan));
    require(isWithin(tailSeconds, maximumTailSeconds) &&
            (reason || tailSeconds >= minimumCompleteTailSeconds));
    require(isWithin(jitter, jitterLimit) && isWithin(maximumJitter, jitterLimit));
    require(isWithin(highJitterSeconds, maximumHighJitterSeconds));
    require(isAbsentOrBoundedSafeText(reason, maximumReasonBytes) &&
            isAbsentOrBoundedSafeText(timingReason, maximumReasonBytes) &&
            isAbsentOrBoundedSafeText(countReason, maximumReasonBytes));
    require(isBoundedSafeText(senderPath, maximumPathBytes) &&
            isBoundedSafeText(receiverPath, maximumPathBytes));
    require(reason || unique <= send.accepted);
}

std::optional<std::int64_t> UDPObservation::lostDatagrams() const noexcept {
    if (countReason || (reason && contains(*reason, sequenceRangeMarker)) ||
        !passes([this] { validate(); }) || send.reason || send.failed != 0 || send.accepted < 1 ||
        unique > send.accepted || contains(receiverPath, unavailablePathMarker)) {
        return std::nullopt;
    }
    // Validation bounds both counts to a few million: the difference cannot overflow.
    return send.accepted - unique;
}

bool UDPObservation::isSignificantLoss(std::optional<std::int64_t> count) const noexcept {
    return count && send.accepted >= 1 && *count >= minimumSignificantLoss &&
           static_cast<double>(*count) * 100.0 / static_cast<double>(send.accepted) >=
               minimumSignificantLossPercent;
}

bool UDPObservation::hasUnexplainedLoss() const noexcept {
    const auto lost = lostDatagrams();
    if (!lost) {
        return false;
    }
    const auto unexplained = unexplainedHoles ? std::min(*unexplainedHoles, *lost) : *lost;
    return isSignificantLoss(unexplained);
}

bool UDPObservation::receiverLimited() const noexcept {
    const auto lost = lostDatagrams();
    if (!lost) {
        return false;
    }
    const auto unexplained = unexplainedHoles ? std::min(*unexplainedHoles, *lost) : *lost;
    return isSignificantLoss(*lost - unexplained);
}

bool UDPObservation::senderLimited() const noexcept {
    // A capacity beyond what the pacer can offer its share of is held to the pacer's ceiling:
    // a sender that offered all the pacer allowed did not fall short, and a lower-rate re-run
    // would only measure less.
    const double paced = std::min(capacity, UDPSendSummary::largestPacedCapacity);
    return isCleanSend(send) && !send.coversIntendedRange(capacity, plannedSeconds) &&
           offeredBitsPerSecond(send.accepted, UDPSendSummary::datagramBytes, send.seconds) <
               UDPSendSummary::lowestOfferedShare * paced;
}

bool UDPObservation::isLimited() const noexcept {
    return receiverLimited() || senderLimited();
}

std::optional<double> UDPObservation::lossPercent() const noexcept {
    if (!noReceiverOverruns()) {
        return std::nullopt;
    }
    const auto lost = lostDatagrams();
    if (!lost) {
        return std::nullopt;
    }
    return static_cast<double>(*lost) * 100.0 / static_cast<double>(send.accepted);
}

bool UDPObservation::noReceiverOverruns() const noexcept {
    return !reason && passes([this] { validate(); }) && isCleanSend(send) && receiverOverruns == 0;
}

bool UDPObservation::receiveServiceCovered() const noexcept {
    if (!receiveCoverage || receiveCoverage->checks < 2 || receiveCoverage->delayedChecks > 0) {
        return false;
    }
    const double span = receiveCoverage->last.value_or(0.0) - receiveCoverage->first.value_or(0.0);
    return span + coverageSlack >= arrivalSpan;
}

bool UDPObservation::timingUsable() const noexcept {
    return receiveServiceCovered() && noReceiverOverruns() &&
           send.coversIntendedRange(capacity, plannedSeconds) && !timingReason && jitter &&
           unique >= minimumConclusiveDatagrams &&
           arrivalSpan >= minimumArrivalShare * plannedSeconds;
}

bool UDPObservation::passedWithoutLoss() const noexcept {
    const auto lost = lostDatagrams();
    return lost && *lost == 0 && send.coversIntendedRange(capacity, plannedSeconds) &&
           duplicates == 0 && rejected == 0 && unique >= minimumConclusiveDatagrams &&
           arrivalSpan >= minimumArrivalShare * plannedSeconds;
}

bool UDPObservation::allConclusive(std::span<const UDPObservation> observations) noexcept {
    return std::all_of(observations.begin(), observations.end(), [](const auto& leg) {
        return (leg.timingUsable() && !leg.receiverLimited() && !leg.senderLimited()) ||
               leg.passedWithoutLoss();
    });
}

UDPObservation UDPObservation::fromJson(const json::ObjectReader& r) {
    return {r.required<Uuid>("run"),
            r.required<Uuid>("session"),
            r.required<Uuid>("probe"),
            r.required<Uuid>("sender"),
            r.required<std::int64_t>("leg"),
            r.required<double>("capacity"),
            r.required<UDPSendSummary>("send"),
            r.required<std::int64_t>("attempt"),
            r.required<double>("plannedSeconds"),
            r.required<std::int64_t>("unique"),
            r.required<std::int64_t>("duplicates"),
            r.required<std::int64_t>("outOfOrder"),
            r.required<std::int64_t>("rejected"),
            r.required<std::int64_t>("receiverOverruns"),
            r.optional<UDPReceiveCoverage>("receiveCoverage"),
            r.optional<UDPQueueDelay>("queueDelay"),
            r.required<double>("arrivalSpan"),
            r.required<double>("tailSeconds"),
            r.optional<double>("jitter"),
            r.optional<double>("maximumJitter"),
            r.required<double>("highJitterSeconds"),
            r.optional<std::string>("timingReason"),
            r.optional<std::string>("countReason"),
            r.optional<std::string>("reason"),
            r.required<std::string>("senderPath"),
            r.required<std::string>("receiverPath"),
            r.optional<std::int64_t>("unexplainedHoles")};
}

void UDPObservation::toJson(json::ObjectWriter& w) const {
    w.field("run", run);
    w.field("session", session);
    w.field("probe", probe);
    w.field("sender", sender);
    w.field("leg", leg);
    w.field("capacity", capacity);
    w.field("send", send);
    w.field("attempt", attempt);
    w.field("plannedSeconds", plannedSeconds);
    w.field("unique", unique);
    w.field("duplicates", duplicates);
    w.field("outOfOrder", outOfOrder);
    w.field("rejected", rejected);
    w.field("receiverOverruns", receiverOverruns);
    w.field("receiveCoverage", receiveCoverage);
    w.field("queueDelay", queueDelay);
    w.field("arrivalSpan", arrivalSpan);
    w.field("tailSeconds", tailSeconds);
    w.field("jitter", jitter);
    w.field("maximumJitter", maximumJitter);
    w.field("highJitterSeconds", highJitterSeconds);
    w.field("timingReason", timingReason);
    w.field("countReason", countReason);
    w.field("reason", reason);
    w.field("senderPath", senderPath);
    w.field("receiverPath", receiverPath);
    w.field("unexplainedHoles", unexplainedHoles);
}

}  // namespace sorvanta
