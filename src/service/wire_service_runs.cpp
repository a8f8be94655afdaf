#include <asio/post.hpp>

#include "protocol/incomplete_status.h"
#include "service/peer_text.h"
#include "service/run_ending.h"
#include "service/wire_service.h"

namespace sorvanta {

namespace {

constexpr double admissionSeconds = 10.0;

}  // namespace

void WireService::refreshSnapshot() {
    Channel* channel = activeChannelID_ ? findChannel(*activeChannelID_) : nullptr;
    if (!channel) {
        snapshot_.activePeerModel.reset();
        snapshot_.activePeerAdapter.reset();
        snapshot_.activePeerLowPower.reset();
        snapshot_.directLink.reset();
        return;
    }
    snapshot_.activePeerAdapter = channel->session.remoteAdapter;
    snapshot_.activePeerLowPower = channel->session.remoteLowPower;
    snapshot_.directLink = channel->directLink;
    snapshot_.activePeerModel.reset();
    for (const auto& peer : snapshot_.peers) {
        if (peer.instance && peer.instance == channel->session.remoteID) {
            snapshot_.activePeerModel = peer.model;
            break;
        }
    }
}

ReadinessGate::Facts WireService::readinessFacts(const Channel& channel) const {
    ReadinessGate::Facts facts;
    facts.connectionReady = channel.session.machine.state == ConnectionState::ready;
    facts.connectedMac = channel.session.remoteID;
    facts.directLink = channel.directLink;
    for (const auto& peer : snapshot_.peers) {
        facts.visibleMacs.push_back(peer.instance);
    }
    facts.runInProgress = speedRun_ != nullptr || speedCleaning_;
    return facts;
}

void WireService::reevaluateReadiness() {
    Channel* channel = activeChannelID_ ? findChannel(*activeChannelID_) : nullptr;
    if (!channel) {
        snapshot_.speed.armed = false;
        return;
    }
    snapshot_.speed.armed = !ReadinessGate::refusal(readinessFacts(*channel)).has_value();
    if (channel->directLink == false && speedRun_ && speedRun_->channel == *activeChannelID_) {
        endHostedRun("The connection stopped being direct (a router appeared on the path).", true,
                     RunEndCause::connection, false, true);
    }
}

void WireService::endHostedRun(const std::string& reason, bool failed, RunEndCause cause,
                               bool remote, bool sendCancel) {
    if (!speedRun_) {
        return;
    }
    auto run = std::move(speedRun_);
    speedRun_.reset();
    cancelTimer(run->deadline);
    const SpeedMessage cancel =
        cancelMessage(run->id, run->sender, run->profile, snapshot_.speed.stage, cause, reason);
    if (run->engine) {
        speedCleaning_ = true;
        cleaningRun_ = run;
        startRunEnd(run->engine, reason, failed, cause, remote, run->id, false, cancel);
    }
    endBusy();
    auto& speed = snapshot_.speed;
    speed.phase = failed ? SpeedSnapshot::Phase::failed : SpeedSnapshot::Phase::cancelled;
    speed.end = cause;
    speed.endedRemotely = remote;
    speed.status = incompleteStatus(reason);
    if (sendCancel) {
        sendSpeed(cancel, run->channel);
    }
}

void WireService::startRunEnd(std::shared_ptr<QuickTest> engine, const std::string& reason,
                              bool failed, RunEndCause cause, bool remote, const Uuid& run,
                              bool sendFlag, SpeedMessage cancel) {
    // Started after the current handler, never inside it. The completion holds no engine:
    // the cleaning run keeps it until the run is finished.
    asio::post(deps_.executor, [engine, reason, failed, cause, remote, run, sendFlag,
                                cancel = std::move(cancel), weak = weak_from_this(),
                                executor = deps_.executor]() mutable {
        engine->fail(reason, failed, cause, remote,
                     [weak, executor, run, sendFlag,
                      cancel = std::move(cancel)](SpeedSnapshot final) mutable {
                         asio::post(executor, [weak, run, sendFlag, cancel = std::move(cancel),
                                               final = std::move(final)] {
                             auto self = weak.lock();
                             if (!self) {
                                 return;
                             }
                             std::optional<SpeedMessage> deferred;
                             if (sendFlag && final.phase != SpeedSnapshot::Phase::complete) {
                                 deferred = cancel;
                             }
                             self->finishRun(final, run, deferred);
                         });
                     });
    });
}

void WireService::finishRun(const SpeedSnapshot& final, const Uuid& run,
                            const std::optional<SpeedMessage>& cancel) {
    if (cancel && cleaningRun_) {
        sendSpeed(*cancel, cleaningRun_->channel);
    }
    if (cleaningRun_ && cleaningRun_->id == run) {
        cleaningRun_.reset();
    }
    auto& speed = snapshot_.speed;
    if (!speedRun_ && speed.run == run && final.run == run) {
        speed.quality = final.quality;
        speed.preparation = final.preparation;
        speed.sample = final.sample;
        speed.stages = final.stages;
        speed.directions = final.directions;
        if (final.phase == SpeedSnapshot::Phase::complete) {
            speed.phase = SpeedSnapshot::Phase::complete;
            speed.status = final.status;
            speed.end.reset();
            speed.endedRemotely = false;
        }
    }
    speedCleaning_ = false;
    if (!speedRun_) {
        endBusy();
    }
    publishStep();
}

void WireService::sendSpeed(const SpeedMessage& message, const Uuid& id) {
    Channel* channel = findChannel(id);
    if (!channel) {
        return;
    }
    ControlMessage control;
    control.kind = ControlMessage::Kind::speed;
    control.session = channel->session.sessionID;
    control.instance = localID_;
    control.speed = message;
    send(control, id);
}

void WireService::handleQuickOutput(QuickTest::Output& output, const Uuid& run) {
    using Kind = QuickTest::Output::Kind;
    if (!speedRun_) {
        if (cleaningRun_ && cleaningRun_->id == run && activeChannelID_ == cleaningRun_->channel &&
            output.kind == Kind::send && output.message) {
            sendSpeed(*output.message, cleaningRun_->channel);
        }
        return;
    }
    if (speedRun_->id != run || activeChannelID_ != speedRun_->channel) {
        return;
    }
    auto hosted = speedRun_;
    if (output.kind == Kind::send) {
        if (output.message) {
            sendSpeed(*output.message, hosted->channel);
        }
        publishStep();
        return;
    }
    // The output is the run's own copy: moved in, not copied again.
    const bool armed = snapshot_.speed.armed;
    snapshot_.speed = std::move(output.state);
    snapshot_.speed.armed = armed;
    snapshot_.speed.initiator = hosted->sender;
    if (output.kind == Kind::ended) {
        // What the run ended with, kept apart: the calls below may change the snapshot.
        const EngineEnding ending = engineEnding(snapshot_.speed);
        const auto phase = snapshot_.speed.phase;
        const bool endedRemotely = snapshot_.speed.endedRemotely;
        const std::string status = snapshot_.speed.status;
        speedRun_.reset();
        cancelTimer(hosted->deadline);
        const SpeedMessage cancel = cancelMessage(hosted->id, hosted->sender, hosted->profile,
                                                  snapshot_.speed.stage, ending.cause, status);
        if (hosted->engine) {
            speedCleaning_ = true;
            cleaningRun_ = hosted;
            startRunEnd(hosted->engine, status, phase == SpeedSnapshot::Phase::failed,
                        ending.cause, endedRemotely, hosted->id, false, cancel);
        }
        if (ending.sendCancel) {
            sendSpeed(cancel, hosted->channel);
        }
        endBusy();
        auto& speed = snapshot_.speed;
        speed.phase = phase;
        speed.end = phase == SpeedSnapshot::Phase::complete
                        ? std::nullopt
                        : std::optional<RunEndCause>(ending.cause);
        speed.endedRemotely = endedRemotely;
        speed.status = ending.status;
    }
    publishStep();
}

void WireService::doStartQuickTest(QuickProfile profile) {
    if (speedRun_ || speedCleaning_ || !activeChannelID_) {
        return;
    }
    const Uuid channelID = *activeChannelID_;
    Channel* channel = findChannel(channelID);
    if (!channel || channel->session.machine.state != ConnectionState::ready ||
        !channel->session.remoteID || !verifyPath(channelID, true)) {
        return;
    }
    auto run = std::make_shared<SpeedRun>();
    run->id = Uuid::random();
    run->sender = localID_;
    run->channel = channelID;
    run->profile = profile;
    speedRun_ = run;
    beginRunSnapshot(*run);
    const Uuid runID = run->id;
    run->deadline =
        after(admissionSeconds, [runID](WireService& self) { self.admissionTimedOut(runID); });
    sendSpeed(runMessage(SpeedMessage::Kind::request, run->id, localID_, profile, 0), channelID);
    publishStep();
}

void WireService::beginRunSnapshot(const SpeedRun& run) {
    const bool armed = snapshot_.speed.armed;
    snapshot_.speed = SpeedSnapshot{};
    auto& speed = snapshot_.speed;
    speed.armed = armed;
    speed.run = run.id;
    speed.initiator = run.sender;
    speed.busy = true;
    speed.profile = run.profile;
    speed.phase = SpeedSnapshot::Phase::checking;
    speed.preparation.required = true;
    speed.preparation.peerName =
        snapshot_.activePeerName ? stripUnsafeScalars(*snapshot_.activePeerName) : "the other Mac";
    speed.status = "Requesting the declared finite test\u2026";
}

void WireService::admissionTimedOut(const Uuid& run) {
    if (!speedRun_ || speedRun_->id != run) {
        return;
    }
    speedRun_->deadline.reset();
    snapshot_.speed.preparation.issue = SetupIssue::timeout;
    // A peer that does not answer a request may be gone: its records must be heard again.
    if (const Channel* channel = findChannel(speedRun_->channel)) {
        reconfirmPeer(*channel);
    }
    endHostedRun("Test admission timed out.", true, RunEndCause::connection, false, true);
    publishStep();
}

void WireService::handleSpeedMessage(const SpeedMessage& message, const Uuid& id) {
    using Kind = SpeedMessage::Kind;
    Channel* channel = findChannel(id);
    if (!channel || !channel->session.remoteID) {
        throw ProtocolFailure::identityChanged;
    }
    const Uuid remote = *channel->session.remoteID;
    if (message.kind == Kind::request) {
        if (message.sender != remote || message.stage != 0) {
            throw ProtocolFailure::identityChanged;
        }
        if (auto refusal = readiness_.admit(message.run, readinessFacts(*channel))) {
            log(ServiceLogLevel::notice, "Declined a test from the other Mac: " +
                                             std::string(ReadinessGate::name(*refusal)));
            sendSpeed(runMessage(Kind::reject, message.run, remote, message.profile, 0), id);
            return;
        }
        auto run = std::make_shared<SpeedRun>();
        run->id = message.run;
        run->sender = remote;
        run->channel = id;
        run->profile = message.profile;
        speedRun_ = run;
        beginRunSnapshot(*run);
        try {
            makeQuickTest(*run);
        } catch (const ProtocolFailure&) {
            endHostedRun("Could not verify the test path.", true, RunEndCause::connection, false,
                         true);
            throw;
        }
        sendSpeed(runMessage(Kind::accept, run->id, remote, run->profile, 0), id);
        if (run->engine) {
            startEngine(run->engine);
        }
        return;
    }
    if (!speedRun_ || message.run != speedRun_->id || speedRun_->channel != id) {
        return;
    }
    if (message.profile != speedRun_->profile) {
        throw ProtocolFailure::malformed;
    }
    auto run = speedRun_;
    switch (message.kind) {
        case Kind::accept:
            if (run->sender != localID_ || message.sender != localID_ || message.stage != 0 ||
                run->engine) {
                throw ProtocolFailure::unexpectedMessage;
            }
            cancelTimer(run->deadline);
            makeQuickTest(*run);
            if (run->engine) {
                startEngine(run->engine);
            }
            return;
        case Kind::reject:
            if (run->engine || message.sender != localID_) {
                throw ProtocolFailure::unexpectedMessage;
            }
            snapshot_.speed.preparation.issue = SetupIssue::consent;
            endHostedRun("The other Mac is not allowing Quick Tests, or is busy.", false,
                         RunEndCause::stopped, false, false);
            return;
        case Kind::cancel: {
            const RemoteEnding ending =
                remoteEnding(message.end, snapshot_.speed.preparation.peerName, message.endDetail);
            endHostedRun(ending.reason, ending.failed, ending.cause, true, false);
            return;
        }
        default:
            if (!run->engine) {
                throw ProtocolFailure::unexpectedMessage;
            }
            run->engine->deliver(message);
            return;
    }
}

void WireService::makeQuickTest(SpeedRun& run) {
    if (!selected_) {
        throw ProtocolFailure::unexpectedMessage;
    }
    Channel* channel = findChannel(run.channel);
    if (!channel || !channel->session.remoteID || !verifyPath(run.channel, true)) {
        throw ProtocolFailure::unexpectedMessage;
    }
    channel = findChannel(run.channel);
    if (!channel) {
        throw ProtocolFailure::unexpectedMessage;
    }
    auto path = channel->connection->currentPath();
    if (!path || !path->remoteEndpoint || !callbacks_) {
        throw ProtocolFailure::unexpectedMessage;
    }
    QuickTest::Setup setup;
    setup.id = run.id;
    setup.session = channel->session.sessionID;
    setup.local = localID_;
    setup.peer = *channel->session.remoteID;
    setup.initiator = run.sender;
    setup.profile = run.profile;
    setup.interface = selected_;
    setup.host = path->remoteEndpoint->host;
    setup.localName = name_;
    setup.peerName = channel->session.remoteName ? stripUnsafeScalars(*channel->session.remoteName)
                                                 : std::string("Other Mac");
    setup.notify = [queue = callbacks_, id = run.id](QuickTest::Output output) {
        queue->send(QuickEvent{std::move(output), id});
    };
    auto engine = deps_.makeQuickTest ? deps_.makeQuickTest(std::move(setup)) : nullptr;
    if (!engine) {
        throw ProtocolFailure::unexpectedMessage;
    }
    run.engine = std::move(engine);
}

void WireService::startEngine(const std::shared_ptr<QuickTest>& engine) {
    asio::post(deps_.executor, [engine] { engine->start(); });
}

void WireService::doStopQuickTest() {
    if (!speedRun_) {
        publishStep();
        return;
    }
    auto run = std::move(speedRun_);
    speedRun_.reset();
    cancelTimer(run->deadline);
    const SpeedMessage cancel = cancelMessage(run->id, run->sender, run->profile,
                                              snapshot_.speed.stage, RunEndCause::stopped, "");
    if (run->engine) {
        speedCleaning_ = true;
        cleaningRun_ = run;
        startRunEnd(run->engine, "Test stopped.", false, RunEndCause::stopped, false, run->id, true,
                    cancel);
    }
    endBusy();
    auto& speed = snapshot_.speed;
    speed.phase = SpeedSnapshot::Phase::cancelled;
    speed.end = RunEndCause::stopped;
    speed.endedRemotely = false;
    speed.status = "Incomplete. Test stopped.";
    if (!run->engine) {
        sendSpeed(cancel, run->channel);
    }
    publishStep();
}

}  // namespace sorvanta
