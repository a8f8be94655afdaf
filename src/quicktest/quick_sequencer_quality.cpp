// The quality phase: two UDP probe legs (leg 0 sent by the initiator, leg 1 by the
// responder), at most one lower-rate retry each, and the evidence exchange that closes it.
#include <algorithm>
#include <cmath>
#include <utility>

#include "protocol/protocol_failure.h"
#include "protocol/stage_measurement.h"
#include "quicktest/quick_sequencer.h"

namespace sorvanta {

namespace {

void require(bool condition, const ProtocolFailure& failure = ProtocolFailure::unexpectedMessage) {
    if (!condition) {
        throw failure;
    }
}

// The smallest retry capacity worth running, in bits per second.
constexpr double minimumRetryCapacity = 50'000'000;
constexpr double firstPlannedSeconds = 3.0;
constexpr double shortestPlannedSeconds = 3.0;
constexpr double longestPlannedSeconds = 6.0;
constexpr std::int64_t qualityStage = 2;

}  // namespace

Uuid QuickSequencer::legSender() const {
    if (udpLeg_ == 0) {
        return setup_.initiator;
    }
    return isInitiator() ? setup_.peer : setup_.local;
}

void QuickSequencer::beginQuality() {
    require(!ended_ && state_.stages.size() == 3 && engines_.empty() && checks_.empty());
    qualityStarted_ = now();
    resultWait_.reset();
    closeWait_.reset();
    udpLeg_ = 0;
    udpAttempt_ = 0;
    state_.phase = SpeedSnapshot::Phase::quality;
    state_.status = "Checking connection quality…";
    publish();
    startLeg();
}

void QuickSequencer::clearBinding() {
    if (udpBinding_) {
        retiredProbes_.push_back(udpBinding_->probe);
        udpBinding_.reset();
    }
}

void QuickSequencer::cancelProbe() {
    if (udpTransfer_) {
        udpTransfer_->cancel();
        udpTransfer_.reset();
    }
}

void QuickSequencer::startLeg() {
    cancelProbe();
    clearBinding();
    udpSent_.reset();
    udpResult_.reset();
    udpStarted_ = false;
    state_.qualityLeg = udpLeg_;
    if (sendsLeg()) {
        return;  // the receiver's udpPrepare brings the binding
    }
    auto plan = legPlan();
    if (!plan) {
        qualityUnavailable("No valid matching TCP capacity for the extra quality check.");
        return;
    }
    auto token = randomToken();
    require(token.has_value(), ProtocolFailure::malformed);
    UDPBinding binding{setup_.id, setup_.session, Uuid::random(), legSender(), udpLeg_, *token};
    udpBinding_ = binding;
    auto engine = makeProbe(plan->capacity, plan->plannedSeconds, binding);
    udpTransfer_ = engine;
    engine->start(std::nullopt);
}

std::shared_ptr<ProbeEngine> QuickSequencer::makeProbe(double capacity, double plannedSeconds,
                                                       const UDPBinding& binding) {
    binding.validate();
    require(setup_.interface.has_value());
    require(std::isfinite(plannedSeconds) && plannedSeconds >= shortestPlannedSeconds &&
                plannedSeconds <= longestPlannedSeconds,
            ProtocolFailure::malformed);
    require(std::isfinite(capacity) && capacity > 0, ProtocolFailure::malformed);
    UDPTransferSettings settings;
    settings.measuredDuration = plannedSeconds;
    settings.binding = binding;
    settings.capacity = capacity;
    settings.receiving = legSender() != setup_.local;
    settings.interface = *setup_.interface;
    settings.host = setup_.host;
    return deps_.engines->makeProbe(settings,
                                    [inbox = inbox_, probe = binding.probe](ProbeEvent event) {
                                        inbox->send(Input{Input::Quality{std::move(event), probe}});
                                    });
}

void QuickSequencer::legResult(const UDPObservation& observation) {
    if (!isInitiator()) {
        return;
    }
    if (observation.attempt == 0 && observation.lowerRatePlan(minimumRetryCapacity)) {
        send(message(Kind::qualityRetry, setup_.initiator));
        udpAttempt_ = 1;
        startLeg();
    } else if (udpLeg_ != 0) {
        finishQuality();
    } else {
        send(message(Kind::qualityNext, setup_.initiator));
        udpLeg_ = 1;
        udpAttempt_ = 0;
        startLeg();
    }
}

void QuickSequencer::qualityUnavailable(const std::string& reason) {
    if (qualityFinalizing_ || ended_) {
        return;
    }
    cancelProbe();
    state_.quality.reason = reason;
    if (isInitiator()) {
        finishQuality();
        return;
    }
    qualityFinalizing_ = true;
    auto m = message(Kind::qualityUnavailable, setup_.local);
    m.qualityReason = reason;
    send(std::move(m));
}

void QuickSequencer::finishQuality() {
    qualityFinalizing_ = true;
    cancelProbe();
    state_.qualityLeg.reset();
    finalizeLocalEvidence();
    auto m = message(Kind::qualityFinish, setup_.initiator);
    m.qualityReason = state_.quality.reason;
    m.ethernet = ethernet_;
    send(std::move(m));
}

UDPControl QuickSequencer::currentControl() const {
    require(udpBinding_.has_value());
    UDPControl control;
    control.probe = udpBinding_->probe;
    control.leg = udpLeg_;
    return control;
}

std::optional<UDPObservation::Plan> QuickSequencer::legPlan() const {
    if (udpAttempt_ == 0) {
        auto capacity = StageMeasurement::senderCapacity(legSender(), state_.stages);
        if (!capacity) {
            return std::nullopt;
        }
        return UDPObservation::Plan{*capacity, firstPlannedSeconds};
    }
    for (const auto& observation : state_.quality.udp) {
        if (observation.leg == udpLeg_ && observation.attempt == 0) {
            return observation.lowerRatePlan(minimumRetryCapacity);
        }
    }
    return std::nullopt;
}

void QuickSequencer::checkObservation(const UDPObservation& o) const {
    o.validate();
    const auto mismatch = ProtocolFailure::identityChanged;
    require(udpBinding_.has_value(), mismatch);
    auto plan = legPlan();
    require(plan.has_value(), mismatch);
    require(o.run == setup_.id && o.session == setup_.session && o.probe == udpBinding_->probe &&
                o.sender == legSender() && o.leg == udpLeg_ && o.attempt == udpAttempt_,
            mismatch);
    // Both computers derive the plan with the same function, so the doubles agree exactly.
    require(o.capacity == plan->capacity && o.plannedSeconds == plan->plannedSeconds, mismatch);
    require(udpSent_ && o.send == *udpSent_, mismatch);
}

bool QuickSequencer::hasObservation(std::int64_t leg, std::optional<std::int64_t> attempt) const {
    return std::any_of(state_.quality.udp.begin(), state_.quality.udp.end(), [&](const auto& o) {
        return o.leg == leg && (!attempt || o.attempt == *attempt);
    });
}

void QuickSequencer::sendLegMessage(Kind kind, const Uuid& sender, UDPControl control) {
    auto m = message(kind, sender);
    m.udp = std::move(control);
    send(std::move(m));
}

asio::awaitable<void> QuickSequencer::handleQuality(ProbeEvent event) {
    const bool receives = !sendsLeg();
    switch (event.kind) {
        case ProbeEvent::Kind::listening: {
            require(receives && udpBinding_);
            auto control = currentControl();
            control.port = event.port;
            control.token = udpBinding_->token;
            sendLegMessage(Kind::udpPrepare, legSender(), std::move(control));
            break;
        }
        case ProbeEvent::Kind::ready: {
            require(receives && !udpStarted_);
            udpStarted_ = true;
            auto control = currentControl();
            control.path = event.text;
            sendLegMessage(Kind::udpReady, legSender(), std::move(control));
            break;
        }
        case ProbeEvent::Kind::progress: {
            require(receives);
            auto control = currentControl();
            control.progress = event.count;
            sendLegMessage(Kind::udpProgress, legSender(), std::move(control));
            break;
        }
        case ProbeEvent::Kind::sent: {
            require(!receives && !udpSent_ && udpStarted_ && event.summary);
            event.summary->validate();
            udpSent_ = event.summary;
            auto control = currentControl();
            control.send = event.summary;
            control.path = event.text;
            sendLegMessage(Kind::udpSent, setup_.local, std::move(control));
            break;
        }
        case ProbeEvent::Kind::result: {
            auto plan = legPlan();
            require(receives && !udpResult_ && plan && event.observation);
            auto observation = std::move(*event.observation);
            observation.attempt = udpAttempt_;
            observation.plannedSeconds = plan->plannedSeconds;
            checkObservation(observation);
            udpResult_ = observation;
            auto control = currentControl();
            control.result = std::move(observation);
            sendLegMessage(Kind::udpResult, legSender(), std::move(control));
            break;
        }
        case ProbeEvent::Kind::failed:
            state_.quality.reason = event.text;
            if (event.safety) {
                co_await failAfterGrace(event.text, event.cause);
            } else {
                qualityUnavailable(event.text);
            }
            break;
    }
    publish();
}

asio::awaitable<void> QuickSequencer::receiveQuality(const SpeedMessage& m) {
    require(m.stage == qualityStage && state_.stage == qualityStage &&
            setup_.profile == QuickProfile::quick);
    const bool inQuality = state_.phase == SpeedSnapshot::Phase::quality;
    const bool fromInitiator = m.sender == setup_.initiator;
    switch (m.kind) {
        case Kind::qualityStart:
            require(!isInitiator() && closing_ && fromInitiator && !qualityStarted_);
            beginQuality();
            break;
        case Kind::qualityNext:
            require(!isInitiator() && inQuality && fromInitiator && udpLeg_ == 0 &&
                    hasObservation(0, udpAttempt_));
            udpLeg_ = 1;
            udpAttempt_ = 0;
            startLeg();
            break;
        case Kind::qualityRetry: {
            require(!isInitiator() && inQuality && fromInitiator && udpAttempt_ == 0);
            const UDPObservation* first = nullptr;
            for (const auto& o : state_.quality.udp) {
                if (!first && o.leg == udpLeg_ && o.attempt == 0) {
                    first = &o;
                }
            }
            require(first && first->lowerRatePlan(minimumRetryCapacity));
            udpAttempt_ = 1;
            startLeg();
            break;
        }
        case Kind::qualityUnavailable:
            require(isInitiator() && inQuality && m.sender == setup_.peer && m.qualityReason);
            qualityUnavailable(*m.qualityReason);
            break;
        case Kind::qualityFinish:
            require(!isInitiator() && inQuality && fromInitiator &&
                    (m.qualityReason || hasObservation(1, std::nullopt)));
            cancelProbe();
            qualityFinalizing_ = true;
            state_.qualityLeg.reset();
            state_.quality.reason = m.qualityReason;
            state_.quality.complete = true;
            mergePeerEvidence(m.ethernet);
            finalizeLocalEvidence();
            {
                auto ack = message(Kind::qualityAck, setup_.initiator);
                ack.ethernet = ethernet_;
                send(std::move(ack));
            }
            break;
        case Kind::qualityAck:
            require(isInitiator() && qualityFinalizing_ && fromInitiator);
            mergePeerEvidence(m.ethernet);
            state_.quality.complete = true;
            send(message(Kind::qualityCommit, setup_.initiator));
            finish();
            break;
        case Kind::qualityCommit:
            require(!isInitiator() && qualityFinalizing_ && fromInitiator);
            state_.quality.complete = true;
            finish();
            break;
        default:
            receiveLegMessage(m);
            break;
    }
    co_return;
}

void QuickSequencer::receiveLegMessage(const SpeedMessage& m) {
    require(state_.phase == SpeedSnapshot::Phase::quality && m.udp);
    const auto& udp = *m.udp;
    // Messages of a superseded or cancelled attempt, and anything once the phase closes,
    // may still be in flight when the attempt ends: they are dropped, not errors.
    if (qualityFinalizing_ || std::find(retiredProbes_.begin(), retiredProbes_.end(), udp.probe) !=
                                  retiredProbes_.end()) {
        return;
    }
    require(m.sender == legSender() && udp.leg == udpLeg_);
    if (m.kind != Kind::udpPrepare) {
        require(udpBinding_ && udpBinding_->probe == udp.probe, ProtocolFailure::identityChanged);
    }
    const bool sends = sendsLeg();
    switch (m.kind) {
        case Kind::udpPrepare: {
            auto plan = legPlan();
            require(sends && !udpBinding_ && udp.token && udp.port && plan);
            udpBinding_ =
                UDPBinding{setup_.id, setup_.session, udp.probe, setup_.local, udpLeg_, *udp.token};
            auto engine = makeProbe(plan->capacity, plan->plannedSeconds, *udpBinding_);
            udpTransfer_ = engine;
            engine->start(udp.port);
            break;
        }
        case Kind::udpReady:
            require(sends && !udpStarted_);
            udpStarted_ = true;
            if (udpTransfer_) {
                udpTransfer_->checkPath();
            }
            break;
        case Kind::udpProgress:
            require(sends && udp.progress);
            if (udpTransfer_) {
                udpTransfer_->noteRemoteProgress(*udp.progress);
            }
            break;
        case Kind::udpSent:
            require(!sends && !udpSent_ && udp.send && udp.path);
            udpSent_ = udp.send;
            if (udpTransfer_) {
                udpTransfer_->acceptSenderSummary(*udp.send, *udp.path);
            }
            break;
        case Kind::udpResult: {
            require(sends && !udpResult_ && udp.result);
            checkObservation(*udp.result);
            auto observation = *udp.result;
            state_.quality.udp.push_back(observation);
            cancelProbe();
            sendLegMessage(Kind::udpAck, setup_.local, currentControl());
            clearBinding();
            udpSent_.reset();
            udpStarted_ = false;
            legResult(observation);
            break;
        }
        case Kind::udpAck: {
            require(!sends && udpResult_ && !hasObservation(udpLeg_, udpAttempt_));
            auto observation = *udpResult_;
            state_.quality.udp.push_back(observation);
            cancelProbe();
            legResult(observation);  // may start the next attempt, which clears udpResult_
            break;
        }
        default:
            throw ProtocolFailure::unexpectedMessage;
    }
}

}  // namespace sorvanta
