// Preparation: each computer listens for one fresh active open of the other and makes one
// itself; the first stage starts once both computers have verified both opens.
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

std::string issueName(SetupIssue issue) {
    return std::string(json::enumName(issue));
}

}  // namespace

std::shared_ptr<BulkEngine> QuickSequencer::makeCheck(const Uuid& owner,
                                                      std::vector<std::uint8_t> token) {
    require(setup_.interface.has_value());
    BulkTransferSettings settings;
    settings.interface = *setup_.interface;
    settings.peerHost = setup_.host;
    settings.receiving = owner != setup_.local;
    settings.preamble = {setup_.id, setup_.session, owner, std::move(token),
                         SpeedPreamble::checkStage};
    settings.verificationOnly = true;
    settings.barrierControlled = false;
    return deps_.engines->makeBulk(settings, [inbox = inbox_, owner](BulkEvent event) {
        inbox->send(Input{Input::Check{std::move(event), owner}});
    });
}

asio::awaitable<void> QuickSequencer::releaseChecks() {
    // Emptied before the first await, so events of engines shutting down find no owner.
    auto released = std::exchange(checks_, {});
    tokens_.clear();
    co_await stopEngines(std::move(released));
}

asio::awaitable<void> QuickSequencer::closeEngines() {
    auto closed = std::exchange(engines_, {});
    tokens_.clear();
    co_await stopEngines(std::move(closed));
}

asio::awaitable<void> QuickSequencer::stopEngines(
    std::map<Uuid, std::shared_ptr<BulkEngine>> list) {
    // The whole list counts as shutting down before the first engine is stopped: counted one
    // at a time, the count would read zero between one engine's end and the next one's
    // start, and a host waiting for the final state would be answered while an engine of
    // the run still runs.
    stopping_ += list.size();
    for (auto& [key, engine] : list) {
        co_await engine->shutdown();
        --stopping_;
    }
    // A shutdown that outlasted the ending releases the hosts waiting for the final state.
    if (endReported_) {
        reachFinal();
    }
}

asio::awaitable<void> QuickSequencer::handleCheck(BulkEvent event, Uuid owner) {
    auto& preparation = state_.preparation;
    if (ended_ || preparation.complete || !checks_.contains(owner)) {
        co_return;
    }
    const bool own = owner == setup_.local;
    switch (event.kind) {
        case BulkEvent::Kind::listening: {
            require(owner == setup_.peer && tokens_.contains(setup_.peer));
            auto m = message(Kind::checkPrepare, setup_.peer);
            m.port = event.port;
            m.token = tokens_.at(setup_.peer);
            send(std::move(m));
            break;
        }
        case BulkEvent::Kind::preparationWaiting: {
            if (!own) {
                co_return;
            }
            preparation.issue = event.issue;
            preparation.remoteIssue = false;
            auto m = message(Kind::checkWaiting, setup_.local);
            m.issue = event.issue;
            send(std::move(m));
            break;
        }
        case BulkEvent::Kind::preparationFailed:
            preparation.issue = event.issue;
            preparation.remoteIssue = false;
            co_await failRun("Connection preparation failed: " + issueName(event.issue) + ".", true,
                             RunEndCause::connection, false);
            break;
        case BulkEvent::Kind::path:
            appendTrace("Opener " + owner.text() + ": " + event.text);
            break;
        case BulkEvent::Kind::failed:
            co_await failAfterGrace(event.text, event.cause);
            break;
        case BulkEvent::Kind::verified:
            (own ? preparation.localVerified : preparation.peerVerified) = true;
            // A verified own open clears what this computer saw; a verified peer open what
            // the peer reported.
            if (preparation.remoteIssue == !own) {
                preparation.issue.reset();
            }
            appendTrace("Verified fresh active opener: " +
                        (own ? setup_.localName : setup_.peerName) + " (" + owner.text() + ")");
            co_await checkProgress();
            break;
        case BulkEvent::Kind::progress:
        case BulkEvent::Kind::result:
        case BulkEvent::Kind::receiverReady:
        case BulkEvent::Kind::warmed:
            throw ProtocolFailure::unexpectedMessage;
    }
    publish();
}

asio::awaitable<void> QuickSequencer::checkProgress() {
    const auto& preparation = state_.preparation;
    if (ended_ || preparation.complete || !preparation.localVerified || !preparation.peerVerified) {
        co_return;
    }
    if (!checksReadySent_) {
        checksReadySent_ = true;
        send(message(Kind::checkReady, setup_.local));
    }
    if (isInitiator() && preparation.peerReady) {
        send(message(Kind::checkStart, setup_.initiator));
        co_await beginAfterChecks();
    }
}

asio::awaitable<void> QuickSequencer::beginAfterChecks() {
    if (ended_ || state_.preparation.complete) {
        co_return;
    }
    state_.preparation.complete = true;
    state_.preparation.issue.reset();
    appendTrace("Both independent opens verified before warmup; disposable channels released.");
    co_await releaseChecks();
    if (!ended_) {
        co_await startStage();
    }
}

asio::awaitable<void> QuickSequencer::receiveCheck(const SpeedMessage& m) {
    auto& preparation = state_.preparation;
    require(!preparation.bulkStarted);
    switch (m.kind) {
        case Kind::checkPrepare: {
            require(!preparation.complete && m.sender == setup_.local &&
                    !checks_.contains(setup_.local) && m.token && m.port);
            auto check = makeCheck(setup_.local, *m.token);
            checks_[setup_.local] = check;
            appendTrace("Fresh active open from " + setup_.localName + " (" + setup_.local.text() +
                        "); selected interface " +
                        (setup_.interface ? setup_.interface->name : ""));
            co_await check->start(m.port);
            break;
        }
        case Kind::checkReady:
            require(m.sender == setup_.peer && !preparation.peerReady);
            preparation.peerReady = true;
            co_await checkProgress();
            break;
        case Kind::checkStart:
            require(!isInitiator() && m.sender == setup_.initiator && preparation.peerReady &&
                    preparation.localVerified && preparation.peerVerified && !preparation.complete);
            co_await beginAfterChecks();
            break;
        case Kind::checkWaiting:
        case Kind::checkFailed:
            require(m.sender == setup_.peer && m.issue, ProtocolFailure::identityChanged);
            preparation.issue = m.issue;
            preparation.remoteIssue = true;
            if (m.kind == Kind::checkFailed) {
                co_await failRun("Peer connection preparation failed: " + issueName(*m.issue) + ".",
                                 true, RunEndCause::connection, true);
            }
            break;
        default:
            throw ProtocolFailure::unexpectedMessage;
    }
    publish();
}

}  // namespace sorvanta
