// The TCP stages: stage start and data engines, warm-up and the measurement barrier,
// recorded samples, and the stage's completion.
#include <algorithm>
#include <cmath>
#include <utility>

#include "protocol/protocol_failure.h"
#include "quicktest/quick_sequencer.h"

namespace sorvanta {

namespace {

void require(bool condition, const ProtocolFailure& failure = ProtocolFailure::unexpectedMessage) {
    if (!condition) {
        throw failure;
    }
}

}  // namespace

QuickStage QuickSequencer::stageMode() const {
    return profileStages(setup_.profile)[static_cast<std::size_t>(state_.stage)];
}

std::size_t QuickSequencer::stageCount() const {
    return profileStages(setup_.profile).size();
}

std::vector<Uuid> QuickSequencer::stageSenders() const {
    const Uuid& responder = isInitiator() ? setup_.peer : setup_.local;
    return sorvanta::stageSenders(stageMode(), setup_.initiator, responder);
}

bool QuickSequencer::isStageSender(const Uuid& sender) const {
    auto senders = stageSenders();
    return std::find(senders.begin(), senders.end(), sender) != senders.end();
}

std::string QuickSequencer::stageStatus(const std::string& tail) const {
    return "Stage " + std::to_string(state_.stage + 1) + " of " + std::to_string(stageCount()) +
           ": " + std::string(json::enumName(stageMode())) + ". " + tail;
}

std::shared_ptr<BulkEngine> QuickSequencer::engineOf(const Uuid& sender) const {
    auto found = engines_.find(sender);
    return found == engines_.end() ? nullptr : found->second;
}

std::shared_ptr<BulkEngine> QuickSequencer::makeEngine(const Uuid& sender,
                                                       std::vector<std::uint8_t> token) {
    SpeedPreamble preamble{setup_.id, setup_.session, sender, std::move(token),
                           static_cast<std::uint8_t>(state_.stage)};
    require(setup_.interface.has_value());
    BulkTransferSettings settings;
    settings.interface = *setup_.interface;
    settings.peerHost = setup_.host;
    settings.receiving = sender != setup_.local;
    settings.preamble = std::move(preamble);
    settings.verificationOnly = false;
    settings.barrierControlled = true;
    return deps_.engines->makeBulk(
        settings, [inbox = inbox_, sender, stage = state_.stage](BulkEvent event) {
            inbox->send(Input{Input::Bulk{std::move(event), sender, stage}});
        });
}

asio::awaitable<void> QuickSequencer::startStage() {
    if (ended_) {
        co_return;
    }
    collection_.reset();
    localReportsFinished_ = peerReportsFinished_ = closing_ = measured_ = false;
    started_.clear();
    warm_.clear();
    stageStarted_ = now();
    bulkStarted_.reset();
    resultWait_.reset();
    closeWait_.reset();
    lastRemoteProgress_ = now();
    state_.phase = SpeedSnapshot::Phase::preparing;
    state_.sample.reset();
    state_.status = stageStatus("Preparing…");
    state_.directions.clear();
    for (const auto& sender : stageSenders()) {
        DirectionMeasurement direction;
        direction.sender = sender;
        direction.label = sender == setup_.local ? setup_.localName + " → " + setup_.peerName
                                                 : setup_.peerName + " → " + setup_.localName;
        direction.path = "No verified data path.";
        state_.directions.push_back(std::move(direction));
    }
    publish();
    for (const auto& sender : stageSenders()) {
        if (sender == setup_.local) {
            continue;
        }
        std::shared_ptr<BulkEngine> engine;
        auto token = randomToken();
        if (token) {
            try {
                engine = makeEngine(sender, *token);
            } catch (const std::exception&) {
                engine = nullptr;
            }
        }
        if (!engine) {
            co_await failRun("Could not prepare the receiver.", true, RunEndCause::tester, false);
            co_return;
        }
        tokens_[sender] = *token;
        engines_[sender] = engine;
        co_await engine->start(std::nullopt);
        if (ended_) {
            co_return;
        }
    }
}

void QuickSequencer::bulkBarrier() {
    auto& preparation = state_.preparation;
    if (!preparation.bulkStarted) {
        appendTrace("Bulk started after reciprocal preparation.");
    }
    preparation.bulkStarted = true;
    if (!bulkStarted_) {
        bulkStarted_ = now();
    }
    state_.phase = SpeedSnapshot::Phase::warming;
}

asio::awaitable<void> QuickSequencer::handleBulk(BulkEvent event, Uuid sender) {
    require(isStageSender(sender), ProtocolFailure::identityChanged);
    const bool peerDirection = sender != setup_.local;
    switch (event.kind) {
        case BulkEvent::Kind::listening: {
            require(peerDirection && tokens_.contains(sender));
            auto m = message(Kind::prepare, sender);
            m.port = event.port;
            m.token = tokens_.at(sender);
            send(std::move(m));
            break;
        }
        case BulkEvent::Kind::receiverReady: {
            auto engine = engineOf(sender);
            require(peerDirection && !started_.contains(sender) && engine);
            started_.insert(sender);
            bulkBarrier();
            co_await engine->startTransfer();
            if (ended_) {
                co_return;
            }
            send(message(Kind::start, sender));
            break;
        }
        case BulkEvent::Kind::progress:
        case BulkEvent::Kind::result: {
            const bool final = event.kind == BulkEvent::Kind::result;
            require(peerDirection && event.sample && (!final || measured_));
            record(*event.sample, sender, final);
            auto m = message(final ? Kind::result : Kind::progress, sender);
            m.sample = event.sample;
            send(std::move(m));
            if (final) {
                maybeFinish();
            }
            break;
        }
        case BulkEvent::Kind::warmed:
            require(peerDirection && started_.contains(sender) && !warm_.contains(sender));
            warm_.insert(sender);
            send(message(Kind::warmed, sender));
            co_await maybeMeasure();
            break;
        case BulkEvent::Kind::path: {
            auto& directions = state_.directions;
            auto found = std::find_if(directions.begin(), directions.end(),
                                      [&](const auto& d) { return d.sender == sender; });
            if (found != directions.end()) {
                found->path = event.text;
            }
            break;
        }
        case BulkEvent::Kind::failed:
            co_await failAfterGrace(event.text, event.cause);
            break;
        case BulkEvent::Kind::verified:
        case BulkEvent::Kind::preparationWaiting:
        case BulkEvent::Kind::preparationFailed:
            throw ProtocolFailure::unexpectedMessage;
    }
    publish();
}

asio::awaitable<void> QuickSequencer::maybeMeasure() {
    if (!isInitiator() || measured_) {
        co_return;
    }
    auto senders = stageSenders();
    if (std::set<Uuid>(senders.begin(), senders.end()) != warm_) {
        co_return;
    }
    send(message(Kind::measure, setup_.initiator));
    co_await measure();
}

asio::awaitable<void> QuickSequencer::measure() {
    measured_ = true;
    state_.phase = SpeedSnapshot::Phase::measuring;
    state_.status = stageStatus("Measuring receiver payload…");
    // The sender's report window opens before the receivers' barriers.
    if (auto engine = engineOf(setup_.local); engine && isStageSender(setup_.local)) {
        co_await engine->beginMeasurementWindow();
    }
    for (const auto& sender : stageSenders()) {
        if (sender == setup_.local) {
            continue;
        }
        if (ended_) {
            co_return;
        }
        if (auto engine = engineOf(sender)) {
            co_await engine->beginReceiverMeasurement();
        }
    }
}

void QuickSequencer::record(const SpeedSample& sample, const Uuid& sender, bool final) {
    auto& directions = state_.directions;
    auto found = std::find_if(directions.begin(), directions.end(),
                              [&](const auto& d) { return d.sender == sender; });
    require(found != directions.end() && !found->complete);
    if (found->sample && found->sample->measuring) {
        const auto& stored = *found->sample;
        // `!(a < b)` would let NaN through; compare the way that refuses it.
        require(
            sample.measuring && sample.bytes >= stored.bytes && sample.seconds >= stored.seconds,
            ProtocolFailure::malformed);
    }
    found->sample = sample;
    found->complete = final;
    state_.sample = sample;
    if (final && !resultWait_) {
        resultWait_ = now();
    }
}

bool QuickSequencer::stageComplete() const {
    const auto& directions = state_.directions;
    return !directions.empty() && directions.size() == stageSenders().size() &&
           std::all_of(directions.begin(), directions.end(),
                       [](const auto& d) { return d.complete; });
}

void QuickSequencer::maybeFinish() {
    if (!isInitiator() || !stageComplete() || closing_) {
        return;
    }
    closing_ = true;
    resultWait_.reset();
    closeWait_ = now();
    send(message(Kind::finish, setup_.initiator));
}

asio::awaitable<void> QuickSequencer::prepareEnginesForCollection() {
    std::vector<std::shared_ptr<BulkEngine>> engines;
    for (const auto& [sender, engine] : engines_) {
        engines.push_back(engine);
    }
    for (auto& engine : engines) {
        co_await engine->prepareForCollection();
    }
}

}  // namespace sorvanta
