#include "quicktest/quick_sequencer.h"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/use_awaitable.hpp>
#include <exception>
#include <string_view>
#include <utility>

#include "protocol/incomplete_status.h"
#include "protocol/protocol_failure.h"

namespace sorvanta {

namespace {

constexpr double tickSeconds = 0.25;
constexpr double graceSeconds = 0.5;
constexpr double preparationDeadline = 10;
constexpr double sequenceDeadline = 120;
constexpr double stageDeadline = 30;
constexpr double bulkDeadline = 15;
constexpr double resultDeadline = 5;
constexpr double progressDeadline = 5;
constexpr double closeOutDeadline = 8;
constexpr double qualityDeadline = 32;
constexpr std::size_t traceLimit = 20;

asio::awaitable<void> holding(std::shared_ptr<QuickSequencer> /*self*/,
                              asio::awaitable<void> work) {
    co_await std::move(work);
}

}  // namespace

std::shared_ptr<QuickSequencer> QuickSequencer::make(Setup setup, Dependencies dependencies) {
    return std::shared_ptr<QuickSequencer>(
        new QuickSequencer(std::move(setup), std::move(dependencies)));
}

QuickSequencer::QuickSequencer(Setup setup, Dependencies dependencies)
    : setup_(std::move(setup)),
      deps_(std::move(dependencies)),
      epoch_(deps_.scheduler->clock().now()),
      inbox_(std::make_shared<Inbox>(deps_.executor, inboxCapacity)) {}

double QuickSequencer::now() const {
    return deps_.scheduler->clock().now() - epoch_;
}

void QuickSequencer::spawn(asio::awaitable<void> work) {
    asio::co_spawn(deps_.executor, holding(shared_from_this(), std::move(work)), asio::detached);
}

void QuickSequencer::start() {
    spawn(startRun());
}

void QuickSequencer::fail(std::string reason, bool failed, std::optional<RunEndCause> cause,
                          bool remote, std::function<void(SpeedSnapshot)> done) {
    auto work = [](QuickSequencer* self, std::string reason, bool failed,
                   std::optional<RunEndCause> cause, bool remote,
                   std::function<void(SpeedSnapshot)> done) -> asio::awaitable<void> {
        co_await self->failRun(std::move(reason), failed, cause, remote);
        if (!done) {
            co_return;
        }
        // An ending already under way may still be waiting for its engines: the host
        // learns the final state only once they stopped.
        if (self->endReported_ && self->stopping_ == 0) {
            done(self->state_);
        } else {
            self->finalWaiters_.push_back(std::move(done));
        }
    };
    spawn(work(this, std::move(reason), failed, cause, remote, std::move(done)));
}

void QuickSequencer::deliver(SpeedMessage message) {
    inbox_->send(Input{Input::Message{std::move(message)}});
}

asio::awaitable<void> QuickSequencer::startRun() {
    if (begun_ || ended_) {
        co_return;
    }
    begun_ = true;
    state_.quality.session = setup_.session;
    captureEvidence();
    state_.run = setup_.id;
    state_.initiator = setup_.initiator;
    state_.profile = setup_.profile;
    state_.busy = true;
    asio::co_spawn(deps_.executor, consume(weak_from_this(), inbox_), asio::detached);
    armTicker();
    state_.preparation.required = true;
    state_.preparation.peerName = setup_.peerName;
    if (setup_.peerName == setup_.localName) {
        state_.preparation.peerName += " (other Mac)";
    }
    state_.phase = SpeedSnapshot::Phase::checking;
    state_.status = "Checking both Macs…";
    appendTrace("Attempt " + setup_.id.text() + "; session " + setup_.session.text() +
                "; selected interface " + (setup_.interface ? setup_.interface->name : ""));
    publish();

    auto token = randomToken();
    std::shared_ptr<BulkEngine> check;
    if (token) {
        tokens_[setup_.peer] = *token;
        try {
            check = makeCheck(setup_.peer, *token);
        } catch (const std::exception&) {
            check = nullptr;
        }
    }
    if (!check) {
        co_await failRun("Could not prepare the verification listener.", true, RunEndCause::tester,
                         false);
        co_return;
    }
    checks_[setup_.peer] = check;
    co_await check->start(std::nullopt);
}

asio::awaitable<void> QuickSequencer::consume(std::weak_ptr<QuickSequencer> weak,
                                              std::weak_ptr<Inbox> weakInbox) {
    for (;;) {
        std::optional<Input> input;
        {
            auto inbox = weakInbox.lock();
            if (!inbox) {
                co_return;
            }
            auto& stream = inbox->stream();
            // The wait is held by the inbox itself; holding the inbox here too would keep
            // both alive forever when a run is dropped without ending.
            inbox.reset();
            input = co_await stream.next(asio::use_awaitable);
        }
        auto inbox = weakInbox.lock();
        auto run = weak.lock();
        if (!input || !inbox || !run) {
            co_return;
        }
        if (inbox->overflow()) {
            co_await run->failRun("Sequence callback capacity exceeded.", true, RunEndCause::tester,
                                  false);
            co_return;
        }
        inbox.reset();
        co_await run->handle(std::move(*input));
    }
}

void QuickSequencer::armTicker() {
    ticker_ = deps_.scheduler->schedule(tickSeconds, [weak = weak_from_this(), inbox = inbox_] {
        auto self = weak.lock();
        if (!self || !self->ticker_ || inbox->overflow()) {
            return;
        }
        // A full inbox drops the tick, sets the overflow flag and finishes the stream; the
        // consumer then fails the run.
        if (inbox->send(Input{Input::Tick{}})) {
            self->armTicker();
        }
    });
}

SpeedMessage QuickSequencer::message(Kind kind, const Uuid& sender) const {
    SpeedMessage m;
    m.kind = kind;
    m.run = setup_.id;
    m.sender = sender;
    m.profile = setup_.profile;
    m.stage = state_.stage;
    return m;
}

void QuickSequencer::send(SpeedMessage message) {
    if (!ended_) {
        notify(Output::Kind::send, std::move(message));
    }
}

void QuickSequencer::publish() {
    if (!ended_) {
        notify(Output::Kind::snapshot);
    }
}

void QuickSequencer::notify(Output::Kind kind, std::optional<SpeedMessage> message) {
    if (!setup_.notify) {
        return;
    }
    // A message for the peer carries no state: the host reads only the message, and the
    // snapshot that follows every handled input reports the state. Copying the whole run
    // state (stages, samples, evidence) for each message would be wasted.
    if (kind == Output::Kind::send) {
        setup_.notify(Output{kind, std::move(message), {}});
    } else {
        setup_.notify(Output{kind, std::move(message), state_});
    }
}

std::optional<std::vector<std::uint8_t>> QuickSequencer::randomToken() {
    std::vector<std::uint8_t> token(SpeedMessage::tokenBytes, 0);
    if (!deps_.random || !deps_.random(token)) {
        return std::nullopt;
    }
    return token;
}

void QuickSequencer::appendTrace(std::string line) {
    if (state_.preparation.trace.size() < traceLimit) {
        state_.preparation.trace.push_back(std::move(line));
    }
}

// ---- Endings -------------------------------------------------------------------------------

asio::awaitable<void> QuickSequencer::failAfterGrace(std::string reason, RunEndCause cause) {
    if (cause == RunEndCause::connection) {
        if (!failureGrace_) {
            failureGrace_ = Grace{std::move(reason), now()};
        }
        co_return;
    }
    co_await failRun(std::move(reason), true, cause, false);
}

asio::awaitable<void> QuickSequencer::failRun(std::string reason, bool failed,
                                              std::optional<RunEndCause> cause, bool remote) {
    if (ended_) {
        co_return;
    }
    const RunEndCause effective =
        cause.value_or(failed ? RunEndCause::tester : RunEndCause::stopped);
    auto& preparation = state_.preparation;

    // The responder whose evidence exchange is complete ends as completed.
    if (failed && !remote && !isInitiator() && qualityFinalizing_ && state_.quality.complete) {
        finish();
        co_return;
    }
    if (failed && effective == RunEndCause::connection && preparation.required &&
        !preparation.bulkStarted && !preparation.remoteIssue) {
        preparation.issue = preparation.issue.value_or(SetupIssue::connection);
        auto m = message(Kind::checkFailed, setup_.local);
        m.issue = preparation.issue;
        send(std::move(m));
    }
    if (effective == RunEndCause::tester && !preparation.remoteIssue) {
        preparation.issue.reset();
    }
    if (stageComplete()) {
        commitStage();
    }
    if (state_.phase == SpeedSnapshot::Phase::quality) {
        if (!state_.quality.reason) {
            state_.quality.reason = "Supporting quality check interrupted.";
        }
        std::optional<UDPObservation> observation = udpResult_;
        if (!observation && udpTransfer_) {
            observation = udpTransfer_->finish();
            if (observation) {
                observation->attempt = udpAttempt_;
                if (auto plan = legPlan()) {
                    observation->plannedSeconds = plan->plannedSeconds;
                }
            }
        }
        if (observation) {
            bool kept = false;
            for (const auto& held : state_.quality.udp) {
                kept = kept || held.probe == observation->probe;
            }
            if (!kept) {
                state_.quality.udp.push_back(std::move(*observation));
            }
        }
    }
    ended_ = true;
    closing_ = true;
    stopTasks();
    state_.busy = false;
    state_.phase = failed ? SpeedSnapshot::Phase::failed : SpeedSnapshot::Phase::cancelled;
    state_.end = effective;
    state_.endedRemotely = remote;
    state_.status = incompleteStatus(reason);
    co_await releaseChecks();
    co_await closeEngines();
    finalizeLocalEvidence();
    notify(Output::Kind::ended);
    reachFinal();
}

void QuickSequencer::reachFinal() {
    if (!ended_) {
        return;
    }
    endReported_ = true;
    if (stopping_ > 0) {
        return;
    }
    auto waiters = std::exchange(finalWaiters_, {});
    for (auto& done : waiters) {
        done(state_);
    }
}

void QuickSequencer::stopTasks() {
    cancelProbe();
    if (collection_) {
        *collection_ = true;
        collection_.reset();
    }
    if (ticker_) {
        deps_.scheduler->cancel(*ticker_);
        ticker_.reset();
    }
    if (transition_) {
        deps_.scheduler->cancel(*transition_);
        transition_.reset();
    }
    inbox_->continuation().finish();
}

void QuickSequencer::finish() {
    if (ended_) {
        return;
    }
    ended_ = true;
    stopTasks();
    finalizeLocalEvidence();
    state_.phase = SpeedSnapshot::Phase::complete;
    state_.busy = false;
    state_.status =
        std::string(setup_.profile == QuickProfile::quick ? "Quick Test" : "Diagnostic test") +
        " completed; no connection interruption observed.";
    notify(Output::Kind::ended);
    reachFinal();
}

asio::awaitable<void> QuickSequencer::checkDeadlines(double t) {
    if (ended_) {
        co_return;
    }
    sampleLink();
    auto ending = [&](const char* text, RunEndCause cause) {
        return failRun(text, true, cause, false);
    };
    if (failureGrace_) {
        if (t - failureGrace_->at >= graceSeconds) {
            co_await failRun(failureGrace_->reason, true, RunEndCause::connection, false);
        }
        co_return;
    }
    auto& preparation = state_.preparation;
    if (!preparation.complete && t >= preparationDeadline) {
        if (preparation.issue != SetupIssue::policyDenied) {
            preparation.issue = SetupIssue::timeout;
            preparation.remoteIssue = false;
        }
        co_await ending("Connection preparation deadline exceeded.", RunEndCause::connection);
        co_return;
    }
    auto passed = [&](const std::optional<double>& since, double limit) {
        return since && t - *since >= limit;
    };
    if (!qualityStarted_) {
        if (t >= sequenceDeadline || t - stageStarted_ >= stageDeadline) {
            co_await ending("Sequence or stage deadline exceeded.", RunEndCause::tester);
        } else if (!closing_) {
            if (passed(bulkStarted_, bulkDeadline)) {
                co_await ending("Stage bulk exceeded 15 seconds.", RunEndCause::tester);
            } else if (passed(resultWait_, resultDeadline)) {
                co_await ending("Directional result exchange timed out.", RunEndCause::tester);
            } else if (started_.contains(setup_.local) &&
                       t - lastRemoteProgress_ >= progressDeadline) {
                co_await ending("Peer receiver progress timed out.", RunEndCause::connection);
            }
        } else if (passed(closeWait_, closeOutDeadline)) {
            co_await ending("Stage close-out timed out.", RunEndCause::tester);
        }
        co_return;
    }
    if (t >= sequenceDeadline || t - *qualityStarted_ >= qualityDeadline) {
        co_await ending("Quality phase or sequence deadline exceeded.", RunEndCause::tester);
    }
}

// ---- Dispatch ------------------------------------------------------------------------------

asio::awaitable<void> QuickSequencer::handle(Input input) {
    if (ended_ || (failureGrace_ && !std::holds_alternative<Input::Tick>(input.value))) {
        co_return;
    }
    std::optional<std::string> failure;
    try {
        auto& value = input.value;
        if (auto* quality = std::get_if<Input::Quality>(&value)) {
            if (state_.phase == SpeedSnapshot::Phase::quality && udpBinding_ &&
                udpBinding_->probe == quality->probe && !qualityFinalizing_) {
                co_await handleQuality(std::move(quality->event));
            }
        } else if (auto* reports = std::get_if<Input::Reports>(&value)) {
            if (reports->stage == state_.stage && closing_ && !localReportsFinished_) {
                co_await handleReports(std::move(reports->reports));
            }
        } else if (auto* message = std::get_if<Input::Message>(&value)) {
            co_await receive(std::move(message->message));
        } else if (auto* bulk = std::get_if<Input::Bulk>(&value)) {
            if (bulk->stage == state_.stage && !closing_) {
                co_await handleBulk(std::move(bulk->event), bulk->sender);
            }
        } else if (auto* check = std::get_if<Input::Check>(&value)) {
            co_await handleCheck(std::move(check->event), check->owner);
        } else if (std::holds_alternative<Input::Tick>(value)) {
            co_await checkDeadlines(now());
        } else {
            co_await nextStage();
        }
    } catch (const ProtocolFailure& error) {
        failure = error.name();
    } catch (const std::exception& error) {
        failure = error.what();
    }
    if (failure) {
        co_await failRun("Invalid sequence message or channel ordering: " + *failure, true,
                         RunEndCause::tester, false);
    }
}

// ---- Ethernet evidence ---------------------------------------------------------------------

void QuickSequencer::captureEvidence() {
    if (!setup_.interface || !deps_.evidence) {
        return;
    }
    const auto& interface = *setup_.interface;
    EthernetRunEvidence evidence;
    evidence.run = setup_.id;
    evidence.session = setup_.session;
    evidence.participant = setup_.local;
    evidence.interface = interface.name;
    evidence.interfaceIndex = interface.index;
    evidence.before = deps_.evidence->counters(interface.name, interface.index, now());
    evidence.adapter = deps_.evidence->admittedAdapter(interface.name);
    evidence.lowPowerMode = deps_.evidence->lowPowerMode();
    recordLinkSample(evidence);
    ethernet_ = std::move(evidence);
}

void QuickSequencer::recordLinkSample(EthernetRunEvidence& evidence) {
    const double t = now();
    // Sample times must rise strictly, or the peer refuses the evidence; a second reading
    // at the same instant (a tick and the end of the run together) adds nothing.
    if (!evidence.links.empty() && !(t > evidence.links.back().offset)) {
        return;
    }
    LinkReading reading;
    // A name that now denotes another interface reads as nothing.
    if (deps_.evidence->interfaceIndex(evidence.interface) == evidence.interfaceIndex) {
        reading = deps_.evidence->link(evidence.interface);
    }
    evidence.recordLink(t, reading.active, reading.rate, reading.fullDuplex);
}

void QuickSequencer::sampleLink() {
    if (!ethernet_ || ethernet_->after || ethernet_->links.empty()) {
        return;
    }
    if (now() - ethernet_->links.back().offset >= 1.0) {
        if (deps_.evidence->lowPowerMode()) {
            ethernet_->lowPowerMode = true;
        }
        recordLinkSample(*ethernet_);
    }
}

void QuickSequencer::finalizeLocalEvidence() {
    if (!ethernet_ || ethernet_->after) {
        return;
    }
    ethernet_->after =
        deps_.evidence->counters(ethernet_->interface, ethernet_->interfaceIndex, now());
    if (deps_.evidence->lowPowerMode()) {
        ethernet_->lowPowerMode = true;
    }
    recordLinkSample(*ethernet_);
    auto& list = state_.quality.ethernet;
    std::erase_if(list, [&](const auto& entry) { return entry.participant == setup_.local; });
    storeEvidence(*ethernet_);
}

void QuickSequencer::mergePeerEvidence(const std::optional<EthernetRunEvidence>& evidence) {
    if (!evidence) {
        return;
    }
    // Only the peer's own evidence of this run and session is kept.
    evidence->validate(setup_.id, setup_.session, setup_.peer);
    if (!evidence->after) {
        throw ProtocolFailure::unexpectedMessage;
    }
    for (const auto& entry : state_.quality.ethernet) {
        if (entry.participant == setup_.peer) {
            throw ProtocolFailure::unexpectedMessage;
        }
    }
    storeEvidence(*evidence);
}

void QuickSequencer::storeEvidence(const EthernetRunEvidence& evidence) {
    auto& list = state_.quality.ethernet;
    list.push_back(evidence);
    std::stable_sort(list.begin(), list.end(), [](const auto& a, const auto& b) {
        return a.participant.text() < b.participant.text();
    });
}

}  // namespace sorvanta
