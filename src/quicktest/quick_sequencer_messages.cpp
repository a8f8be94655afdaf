// The gate for the peer's run messages, the TCP report exchange and the stage close-out.
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
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

// The final sample of a direction must cover the whole measurement.
constexpr double minimumFinalSeconds = 10.0;

bool isCheckKind(SpeedMessage::Kind kind) {
    using Kind = SpeedMessage::Kind;
    return kind == Kind::checkPrepare || kind == Kind::checkReady || kind == Kind::checkStart ||
           kind == Kind::checkWaiting || kind == Kind::checkFailed;
}

bool isQualityKind(SpeedMessage::Kind kind) {
    using Kind = SpeedMessage::Kind;
    return (kind >= Kind::qualityStart && kind <= Kind::qualityCommit);
}

}  // namespace

asio::awaitable<void> QuickSequencer::receive(SpeedMessage m) {
    if (m.run != setup_.id) {
        co_return;
    }
    require(m.profile == setup_.profile, ProtocolFailure::malformed);
    m.validate(minimumFinalSeconds);
    if (isCheckKind(m.kind)) {
        co_await receiveCheck(m);
        co_return;
    }
    require(state_.preparation.complete);
    if (isQualityKind(m.kind)) {
        co_await receiveQuality(m);
        publish();
        co_return;
    }
    if (m.kind == Kind::advance) {
        require(!isInitiator() && closing_ && m.sender == setup_.initiator &&
                m.stage == state_.stage + 1 && m.stage < static_cast<std::int64_t>(stageCount()));
        state_.stage = m.stage;
        co_await startStage();
        co_return;
    }
    if (m.stage < state_.stage) {
        co_return;  // a late message of an earlier stage
    }
    require(m.stage == state_.stage);
    co_await receiveStage(m);
}

asio::awaitable<void> QuickSequencer::receiveStage(const SpeedMessage& m) {
    const Uuid& local = setup_.local;
    switch (m.kind) {
        case Kind::prepare: {
            require(!closing_ && m.sender == local && isStageSender(local) &&
                    !engines_.contains(local) && m.token && m.port);
            auto engine = makeEngine(local, *m.token);
            engines_[local] = engine;
            co_await engine->start(m.port);
            break;
        }
        case Kind::start: {
            auto engine = engineOf(local);
            require(!closing_ && m.sender == local && !started_.contains(local) && engine);
            started_.insert(local);
            lastRemoteProgress_ = now();
            bulkBarrier();
            co_await engine->startTransfer();
            break;
        }
        case Kind::progress:
        case Kind::result: {
            require(!closing_ && m.sender == local && started_.contains(local) && m.sample &&
                    (!m.sample->measuring || measured_));
            const bool final = m.kind == Kind::result;
            record(*m.sample, local, final);
            lastRemoteProgress_ = now();
            if (final) {
                maybeFinish();
            }
            break;
        }
        case Kind::warmed:
            require(!closing_ && m.sender == local && started_.contains(local) &&
                    !warm_.contains(local));
            warm_.insert(local);
            co_await maybeMeasure();
            break;
        case Kind::measure: {
            auto senders = stageSenders();
            require(!isInitiator() && m.sender == setup_.initiator && !closing_ && !measured_ &&
                    std::set<Uuid>(senders.begin(), senders.end()) == warm_);
            co_await measure();
            break;
        }
        case Kind::finish:
            require(!isInitiator() && m.sender == setup_.initiator && !closing_ && stageComplete());
            closing_ = true;
            resultWait_.reset();
            closeWait_ = now();
            co_await prepareEnginesForCollection();
            if (ended_) {
                co_return;
            }
            send(message(Kind::resultAck, setup_.initiator));
            startCollection();
            break;
        case Kind::resultAck:
            require(isInitiator() && m.sender == setup_.initiator && closing_ && stageComplete() &&
                    !collection_);
            co_await prepareEnginesForCollection();
            if (ended_) {
                co_return;
            }
            startCollection();
            break;
        case Kind::tcpReport:
            require(closing_ && m.sender == setup_.peer && m.transport &&
                    m.transport->sender == setup_.peer);
            mergeReports(*m.transport);
            break;
        case Kind::reportsReady:
            require(closing_ && m.sender == setup_.peer && !peerReportsFinished_);
            peerReportsFinished_ = true;
            co_await closeOut();
            break;
        case Kind::stageClosed:
            require(!isInitiator() && closing_ && localReportsFinished_ && peerReportsFinished_ &&
                    m.sender == setup_.initiator);
            co_await closeEngines();
            if (ended_) {
                co_return;
            }
            commitStage();
            // Without a quality phase the last stage closed ends the run on this side too.
            if (setup_.profile != QuickProfile::quick &&
                state_.stage + 1 == static_cast<std::int64_t>(stageCount())) {
                finish();
            }
            break;
        default:
            throw ProtocolFailure::unexpectedMessage;
    }
    publish();
}

asio::awaitable<void> QuickSequencer::handleReports(std::vector<TCPObservation> reports) {
    for (const auto& observation : reports) {
        mergeReports(observation);
        auto m = message(Kind::tcpReport, setup_.local);
        m.transport = observation;
        send(std::move(m));
    }
    localReportsFinished_ = true;
    send(message(Kind::reportsReady, setup_.local));
    co_await closeOut();
}

void QuickSequencer::mergeReports(const TCPObservation& observation) {
    observation.validate(setup_.id, setup_.session, observation.sender, state_.stage);
    auto& directions = state_.directions;
    auto found = std::find_if(directions.begin(), directions.end(),
                              [&](const auto& d) { return d.sender == observation.sender; });
    require(found != directions.end() && !found->transport, ProtocolFailure::identityChanged);
    found->transport = observation;
}

asio::awaitable<void> QuickSequencer::closeOut() {
    if (!isInitiator() || !closing_ || !localReportsFinished_ || !peerReportsFinished_) {
        co_return;
    }
    for (const auto& direction : state_.directions) {
        require(direction.transport.has_value());
    }
    co_await closeEngines();
    if (ended_) {
        co_return;
    }
    collection_.reset();  // delivered already; released, not cancelled
    commitStage();
    send(message(Kind::stageClosed, setup_.initiator));
    if (state_.stage + 1 == static_cast<std::int64_t>(stageCount())) {
        if (setup_.profile == QuickProfile::quick) {
            send(message(Kind::qualityStart, setup_.initiator));
            beginQuality();
        } else {
            finish();
        }
        co_return;
    }
    state_.status = "Stage complete. Next stage in one second…";
    publish();
    transition_ = deps_.scheduler->schedule(1.0, [weak = weak_from_this(), inbox = inbox_] {
        auto self = weak.lock();
        if (self && self->transition_) {
            inbox->send(Input{Input::Next{}});
        }
    });
}

void QuickSequencer::startCollection() {
    auto cancelled = std::make_shared<bool>(false);
    collection_ = cancelled;
    asio::co_spawn(deps_.executor, collect(engineOf(setup_.local), inbox_, state_.stage, cancelled),
                   asio::detached);
}

asio::awaitable<void> QuickSequencer::collect(std::shared_ptr<BulkEngine> engine,
                                              std::shared_ptr<Inbox> inbox, std::int64_t stage,
                                              std::shared_ptr<bool> cancelled) {
    std::vector<TCPObservation> reports;
    if (engine) {
        if (auto report = co_await engine->collectReport()) {
            reports.push_back(std::move(*report));
        }
    }
    if (!*cancelled) {
        inbox->send(Input{Input::Reports{std::move(reports), stage}});
    }
}

void QuickSequencer::commitStage() {
    for (const auto& stage : state_.stages) {
        if (stage.index == state_.stage) {
            return;
        }
    }
    state_.stages.push_back({state_.stage, stageMode(), state_.directions});
}

asio::awaitable<void> QuickSequencer::nextStage() {
    if (!isInitiator() || !closing_) {
        co_return;
    }
    const std::int64_t next = state_.stage + 1;
    if (next >= static_cast<std::int64_t>(stageCount())) {
        co_return;
    }
    state_.stage = next;
    send(message(Kind::advance, setup_.initiator));
    co_await startStage();
}

}  // namespace sorvanta
