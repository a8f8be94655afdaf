#include <cerrno>
#include <cstdio>

#include "platform/net/wired_path.h"
#include "service/channel_election.h"
#include "service/peer_text.h"
#include "service/wire_service.h"

namespace sorvanta {

namespace {

constexpr std::size_t receiveMaximum = 8192;
constexpr int maximumPendingSends = 8;
constexpr double pathGraceSeconds = 2.0;
constexpr double partialFrameSeconds = 10.0;
constexpr double preparingCheckSeconds = 3.0;
constexpr double stalledRedialSeconds = 0.5;
constexpr const char* pathUnverified =
    "Cannot verify the selected Ethernet path. Connection cancelled.";

std::string connectionEnded(const PlatformError& error) {
    return "Connection ended: " + error.text();
}

std::string readyStatus(const std::optional<std::string>& remoteName) {
    return "Ready with " + (remoteName ? stripUnsafeScalars(*remoteName) : std::string("Mac")) +
           ".";
}

}  // namespace

WireService::Channel* WireService::findChannel(const Uuid& id) {
    auto found = channels_.find(id);
    return found == channels_.end() ? nullptr : found->second.get();
}

void WireService::adopt(std::shared_ptr<TcpConnection> connection, bool initiator,
                        std::optional<std::string> peerKey, std::optional<Uuid> expectedPeer) {
    if (!selected_ || !callbacks_) {
        connection->cancel();
        return;
    }
    const Uuid id = Uuid::random();
    const InterfaceIdentity interface { selected_->name, selected_->index };
    auto channel =
        std::make_unique<Channel>(Channel{connection,
                                          interface,
                                          std::move(peerKey),
                                          ProtocolSession(localID_, name_, initiator, expectedPeer,
                                                          localAdapter(interface.name), lowPower_),
                                          {},
                                          {},
                                          {},
                                          Uuid::random(),
                                          Uuid::random(),
                                          0,
                                          {},
                                          false,
                                          {},
                                          {},
                                          {}});
    channels_.emplace(id, std::move(channel));
    bool anyReady = false;
    for (const auto& [other, entry] : channels_) {
        const auto state = entry->session.machine.state;
        anyReady = anyReady || state == ConnectionState::ready || state == ConnectionState::probing;
    }
    if (!anyReady) {
        snapshot_.state = ConnectionState::connecting;
        snapshot_.status = "Connecting over Ethernet\u2026";
    }
    auto queue = callbacks_;
    connection->setStateHandler([queue, id](const TransportState& state) {
        queue->send(ConnectionEvent{state, id});
    });
    connection->setPathHandler([queue, id](const NetworkPath& path) {
        queue->send(PathEvent{path, id});
    });
    connection->setViabilityHandler([queue, id](bool viable) {
        if (!viable) {
            queue->send(ViabilityEvent{id});
        }
    });
    armHandshakeDeadline(id, initiator ? 30 : 10);
    if (initiator) {
        const Uuid generation = generation_;
        after(preparingCheckSeconds,
              [id, generation](WireService& self) { self.checkPreparing(id, generation); });
    }
    connection->start();
    publishStep();
}

void WireService::connectionChanged(const TransportState& state, const Uuid& id) {
    Channel* channel = findChannel(id);
    if (!channel) {
        return;
    }
    log(ServiceLogLevel::info, "Connection: " + state.text());
    switch (state.kind) {
        case TransportState::Kind::setup:
        case TransportState::Kind::preparing:
            return;
        case TransportState::Kind::waiting: {
            auto path = channel->connection->currentPath();
            if (path && path->unsatisfiedReason == UnsatisfiedReason::localNetworkDenied &&
                path->status != PathStatus::satisfied) {
                snapshot_.permission = LocalNetworkState::unavailable;
                snapshot_.status =
                    "This Mac is blocking Sorvanta\u2019s network connection. Allow Sorvanta in "
                    "System Settings \u2192 Privacy & Security \u2192 Local Network, then choose "
                    "Search Again.";
                publishStep();
                return;
            }
            if (channel->session.machine.state == ConnectionState::connecting) {
                // A dial that finds nobody: the browsed records may be stale.
                if (channel->session.initiator) {
                    reconfirmPeer(*channel);
                }
                return;
            }
            closeUnreachedChannel(id, "Ethernet connection interrupted: " + state.error.text(),
                                  true);
            return;
        }
        case TransportState::Kind::failed:
            closeUnreachedChannel(id, "Connection failed: " + state.error.text(), true);
            return;
        case TransportState::Kind::ready: {
            if (!verifyPath(id, true)) {
                return;
            }
            channel = findChannel(id);
            if (!channel || channel->receiving) {
                return;
            }
            channel->receiving = true;
            if (channel->session.initiator) {
                ControlMessage hello;
                hello.kind = ControlMessage::Kind::hello;
                hello.session = channel->session.sessionID;
                hello.instance = channel->session.localID;
                hello.name = channel->session.localName;
                hello.adapter = channel->session.localAdapter;
                hello.lowPower = channel->session.localLowPower;
                send(hello, id);
            }
            receiveNext(id);
            return;
        }
        case TransportState::Kind::cancelled:
            closeChannel(id, "Connection cancelled.", false);
            return;
    }
}

bool WireService::verifyPath(const Uuid& id, bool closeOnFailure) {
    Channel* channel = findChannel(id);
    if (!channel) {
        return false;
    }
    auto path = channel->connection->currentPath();
    if (!path || !isWiredPath(*path, channel->interface)) {
        if (closeOnFailure) {
            closeChannel(id, pathUnverified, true);
        }
        return false;
    }
    channel->directLink = path->gateways.empty();
    // Compared in place: the usual frame finds the evidence unchanged and copies nothing.
    if (channel->pathEvidence) {
        const auto& [interface, local, remote] = channel->pathEvidence->source;
        if (interface == channel->interface && local == path->localEndpoint &&
            remote == path->remoteEndpoint) {
            return true;
        }
    }
    auto source = std::make_tuple(channel->interface, path->localEndpoint, path->remoteEndpoint);
    std::string text = "Verified wiredEthernet: " + channel->interface.name + " / " +
                       std::to_string(channel->interface.index);
    text += "\nLocal: " + (path->localEndpoint ? path->localEndpoint->text() : "unknown");
    text += "\nRemote: " + (path->remoteEndpoint ? path->remoteEndpoint->text() : "unknown");
    if (channel->pathEvidence && channel->pathEvidence->text == text) {
        // Another source that reads the same: keep it, so the next frame finds it unchanged.
        channel->pathEvidence->source = std::move(source);
        return true;
    }
    // Endpoint addresses stay out of the log.
    log(ServiceLogLevel::info, "Verified wiredEthernet " + channel->interface.name + " / " +
                                   std::to_string(channel->interface.index) +
                                   "; endpoints <private>");
    recordPathEvidence({std::move(source), std::move(text)}, id);
    return true;
}

void WireService::recordPathEvidence(PathEvidence evidence, const Uuid& id) {
    if (activeChannelID_ == id) {
        snapshot_.diagnostics = evidence.text;
    }
    if (Channel* channel = findChannel(id)) {
        channel->pathEvidence = std::move(evidence);
    }
}

void WireService::showActiveChannel() {
    if (!activeChannelID_) {
        return;
    }
    Channel* channel = findChannel(*activeChannelID_);
    if (!channel) {
        return;
    }
    snapshot_.activePeerName = channel->session.remoteName;
    snapshot_.diagnostics =
        channel->pathEvidence ? channel->pathEvidence->text : "No connection path verified.";
    snapshot_.state = channel->session.machine.state;
    snapshot_.status = readyStatus(channel->session.remoteName);
}

void WireService::pathChanged(const NetworkPath& path, const Uuid& id) {
    Channel* channel = findChannel(id);
    if (!channel || !channel->receiving) {
        return;
    }
    if (isWiredPath(path, channel->interface) && verifyPath(id, false)) {
        if ((channel = findChannel(id))) {
            cancelTimer(channel->pathGrace);
        }
        publishStep();
        return;
    }
    const bool carriesRun =
        (speedRun_ && speedRun_->channel == id) || (cleaningRun_ && cleaningRun_->channel == id);
    if (carriesRun) {
        closeChannel(id, "Selected Ethernet path lost. Connection cancelled; waiting for Ethernet.",
                     true);
        return;
    }
    if (channel->pathGrace) {
        return;
    }
    char text[128];
    std::snprintf(text, sizeof text,
                  "Ethernet path briefly unverified on an idle connection; re-checking in %f s.",
                  pathGraceSeconds);
    log(ServiceLogLevel::notice, text);
    channel->pathGrace = after(pathGraceSeconds, [id](WireService& self) { self.recheckPath(id); });
}

void WireService::recheckPath(const Uuid& id) {
    Channel* channel = findChannel(id);
    if (!channel) {
        return;
    }
    channel->pathGrace.reset();
    if (!verifyPath(id, true)) {
        return;
    }
    log(ServiceLogLevel::notice, "Ethernet path verified again; connection kept.");
    publishStep();
}

void WireService::viabilityLost(const Uuid& id) {
    Channel* channel = findChannel(id);
    if (channel && channel->receiving) {
        closeUnreachedChannel(id, linkNotViable, true);
    }
}

void WireService::receiveNext(const Uuid& id) {
    Channel* channel = findChannel(id);
    if (!channel || !callbacks_) {
        return;
    }
    channel->connection->receive(
        1, receiveMaximum,
        [queue = callbacks_, id](std::span<const std::uint8_t> data, bool complete,
                                 std::optional<PlatformError> error) {
            queue->send(ReceivedEvent{Bytes(data.begin(), data.end()), complete, error, id});
        });
}

void WireService::handleReceived(ReceivedEvent& event) {
    const Uuid id = event.channel;
    if (!findChannel(id) || !verifyPath(id, true)) {
        return;
    }
    try {
        auto messages = findChannel(id)->codec.append(event.data);
        for (const auto& message : messages) {
            if (!handleMessage(id, message)) {
                return;
            }
        }
        updatePartialDeadline(id, messages.size());
        if (event.error) {
            closeUnreachedChannel(id, connectionEnded(*event.error), true);
        } else if (event.complete) {
            if (Channel* channel = findChannel(id)) {
                channel->codec.finish();
                // A peer that quit says goodbye first; one that was killed or crashed does
                // not, and its closed connection is the only sign of it.
                closeUnreachedChannel(id, "Peer disconnected. Looking for Ethernet\u2026", false);
            }
        } else {
            receiveNext(id);
        }
    } catch (const ProtocolFailure& failure) {
        if (failure == ProtocolFailure::identityChanged) {
            Channel* channel = findChannel(id);
            if (channel && channel->session.expectedPeer && !channel->session.remoteID) {
                restartBrowsing(*channel->session.expectedPeer);
            }
        }
        closeChannel(id, failure.errorDescription(), true);
    } catch (const std::exception&) {
        closeChannel(id, "Invalid peer message.", true);
    }
    publishStep();
}

bool WireService::handleMessage(const Uuid& id, const ControlMessage& message) {
    Channel* channel = findChannel(id);
    if (!channel) {
        return false;
    }
    if (!channel->rateLimit.charge(serviceTime())) {
        throw ProtocolFailure::unexpectedMessage;
    }
    const auto before = channel->session.machine.state;
    auto reply = channel->session.handle(message);
    if (before == ConnectionState::connecting) {
        if (!elect(id)) {
            // A lost election closes the channel; one that could not be held (no identity)
            // must not leave it open without a receive either.
            if (findChannel(id)) {
                closeChannel(id, ProtocolFailure::identityChanged.errorDescription(), true);
            }
            return false;
        }
        channel = findChannel(id);
        cancelTimer(channel->deadline);
        channel->deadlineToken = Uuid::random();
        snapshot_.permission = LocalNetworkState::available;
        snapshot_.status = readyStatus(channel->session.remoteName);
        snapshot_.probeStatus = ProbeStatus::none;
        log(ServiceLogLevel::info, "Hello accepted; protocol v9");
    }
    if (message.kind == ControlMessage::Kind::speed) {
        if (activeChannelID_ != id || !message.speed) {
            throw ProtocolFailure::unexpectedMessage;
        }
        handleSpeedMessage(*message.speed, id);
        if (!findChannel(id)) {
            return false;
        }
    }
    if (reply) {
        send(*reply, id);
        if (!findChannel(id)) {
            return false;
        }
    }
    if (message.kind == ControlMessage::Kind::probe) {
        const std::size_t bytes = message.payload ? message.payload->size() : 0;
        snapshot_.probeResult =
            "Received " + std::to_string(bytes) + "-byte probe; digest acknowledgment queued.";
        snapshot_.probeStatus = ProbeStatus::received;
        log(ServiceLogLevel::info, "Received tiny probe; acknowledging digest");
    }
    snapshot_.state = findChannel(id)->session.machine.state;
    return true;
}

bool WireService::elect(const Uuid& id) {
    Channel* channel = findChannel(id);
    if (!channel || !channel->session.remoteID) {
        return false;
    }
    const Uuid remote = *channel->session.remoteID;
    std::vector<ElectionCandidate> others;
    for (const auto& [otherID, other] : channels_) {
        others.push_back({otherID, other->session.initiator, other->session.expectedPeer,
                          other->session.machine.state});
    }
    const ElectionCandidate self{id, channel->session.initiator, channel->session.expectedPeer,
                                 channel->session.machine.state};
    switch (electChannel(self, localID_, remote, activeChannelID_, others)) {
        case ElectionOutcome::noIdentity:
            return false;
        case ElectionOutcome::anotherActive:
            closeChannel(id, "Another peer is already connected.", false);
            return false;
        case ElectionOutcome::yieldToOwnDial:
            closeChannel(id, "Waiting for the elected peer connection.", false);
            return false;
        case ElectionOutcome::win:
            break;
    }
    activeChannelID_ = id;
    lostPeer_.reset();
    for (const Uuid& instance : directory_.rememberedInstances(remote)) {
        restartBrowsing(instance);
    }
    if (!snapshot_.speed.busy && snapshot_.speed.run) {
        const bool armed = snapshot_.speed.armed;
        snapshot_.speed = SpeedSnapshot{};
        snapshot_.speed.armed = armed;
    }
    updateInterfaces({});
    showActiveChannel();
    return findChannel(id) != nullptr;
}

void WireService::updatePartialDeadline(const Uuid& id, std::size_t decoded) {
    Channel* channel = findChannel(id);
    if (!channel) {
        return;
    }
    if (decoded > 0 || !channel->codec.hasPendingData()) {
        cancelTimer(channel->partialDeadline);
        // No armed deadline carries the nil value (theirs are random version-4 values), so
        // a cancelled one that fires anyway is ignored without drawing a fresh value for
        // every received chunk.
        channel->partialToken = Uuid{};
    }
    if (channel->codec.hasPendingData() && !channel->partialDeadline) {
        const Uuid token = Uuid::random();
        channel->partialToken = token;
        channel->partialDeadline = after(partialFrameSeconds, [id, token](WireService& self) {
            self.deadlineExpired(id, token, true);
        });
    }
}

void WireService::send(const ControlMessage& message, const Uuid& id) {
    if (!findChannel(id) || !callbacks_ || !verifyPath(id, true)) {
        return;
    }
    Channel* channel = findChannel(id);
    if (!channel) {
        return;
    }
    if (channel->pendingSends >= maximumPendingSends) {
        closeChannel(id, "Control send rejected.", true);
        return;
    }
    Bytes frame;
    try {
        frame = ControlFrameCodec::encode(message);
    } catch (const std::exception& error) {
        log(ServiceLogLevel::notice,
            std::string("Could not encode an own control message: ") + error.what());
        closeChannel(id, "Control send rejected.", true);
        return;
    }
    ++channel->pendingSends;
    channel->connection->send(std::move(frame),
                              [queue = callbacks_, id](std::optional<PlatformError> error) {
                                  queue->send(SentEvent{error, id});
                              });
}

void WireService::handleSent(const std::optional<PlatformError>& error, const Uuid& id) {
    Channel* channel = findChannel(id);
    if (!channel) {
        return;
    }
    channel->pendingSends = std::max(0, channel->pendingSends - 1);
    if (error && *error == PlatformError::posix(ETIMEDOUT)) {
        // The peer stopped acknowledging: the same end of the connection that the pending
        // receive reports, whichever of the two is handled first.
        closeUnreachedChannel(id, connectionEnded(*error), true);
    } else if (error) {
        closeChannel(id, "Send failed: " + error->text(), true);
    }
}

void WireService::armHandshakeDeadline(const Uuid& id, int seconds) {
    Channel* channel = findChannel(id);
    if (!channel) {
        return;
    }
    cancelTimer(channel->deadline);
    const Uuid token = Uuid::random();
    channel->deadlineToken = token;
    channel->deadline =
        after(seconds, [id, token](WireService& self) { self.deadlineExpired(id, token, false); });
}

void WireService::checkPreparing(const Uuid& id, const Uuid& generation) {
    if (generation != generation_) {
        return;
    }
    Channel* channel = findChannel(id);
    if (!channel || channel->receiving ||
        channel->session.machine.state != ConnectionState::connecting) {
        return;
    }
    log(ServiceLogLevel::notice, "Outbound connection still preparing after 3 s; retrying.");
    closeUnreachedChannel(id, "Connection setup stalled; trying again.", false);
    cancelTimer(retryTask_);
    retryTask_ =
        after(stalledRedialSeconds, [generation](WireService& self) { self.redial(generation); });
}

void WireService::deadlineExpired(const Uuid& id, const Uuid& token, bool partial) {
    Channel* channel = findChannel(id);
    if (!channel) {
        return;
    }
    if (partial) {
        if (token != channel->partialToken) {
            return;
        }
        channel->partialDeadline.reset();
        closeChannel(id, "Incomplete control frame timed out.", true);
    } else {
        if (token != channel->deadlineToken) {
            return;
        }
        channel->deadline.reset();
        closeUnreachedChannel(
            id, "Peer handshake or probe timed out. Check Ethernet and Local Network access.",
            true);
    }
}

std::optional<std::string> WireService::peerKeyOf(const Channel& channel) {
    if (channel.peerKey) {
        return channel.peerKey;
    }
    if (channel.session.remoteID) {
        return channel.session.remoteID->text();
    }
    return std::nullopt;
}

void WireService::reconfirmPeer(const Channel& channel) {
    const auto key = peerKeyOf(channel);
    if (!key || !browser_) {
        return;
    }
    auto endpoint = directory_.endpoints().find(*key);
    if (endpoint == directory_.endpoints().end()) {
        return;
    }
    auto result = browseResults_.find(endpoint->second);
    if (result != browseResults_.end()) {
        log(ServiceLogLevel::notice, "Peer not reached; reconfirming its Bonjour records.");
        browser_->reconfirm(result->second.endpoint);
    }
}

void WireService::closeUnreachedChannel(const Uuid& id, const std::string& reason, bool failed) {
    if (Channel* channel = findChannel(id)) {
        reconfirmPeer(*channel);
    }
    closeChannel(id, reason, failed);
}

void WireService::closeChannel(const Uuid& id, const std::string& reason, bool failed) {
    auto found = channels_.find(id);
    if (found == channels_.end()) {
        return;
    }
    std::unique_ptr<Channel> channel = std::move(found->second);
    channels_.erase(found);
    cancelTimer(channel->deadline);
    cancelTimer(channel->partialDeadline);
    cancelTimer(channel->pathGrace);
    channel->session.pendingProbe.reset();
    channel->session.machine.state = failed ? ConnectionState::failed : ConnectionState::cancelled;
    channel->connection->cancel();
    log(ServiceLogLevel::notice, "Connection closed: " + reason);
    if (activeChannelID_ == id) {
        if (speedRun_) {
            if (failed) {
                endHostedRun("Control connection lost; result unavailable if not received.", true,
                             RunEndCause::connection, false, false);
            } else {
                endHostedRun("Stopped on " + snapshot_.speed.preparation.peerName + ".", false,
                             RunEndCause::stopped, true, false);
            }
        }
        activeChannelID_.reset();
        updateInterfaces({});
        for (auto* list : {&snapshot_.detectedInterfaces, &snapshot_.interfaces}) {
            for (auto& entry : *list) {
                if (entry.identity == channel->interface) {
                    entry.linkSpeed.reset();
                    entry.linkActive.reset();
                }
            }
        }
    }
    if (activeChannelID_ && findChannel(*activeChannelID_)) {
        showActiveChannel();
    } else {
        std::optional<std::string> issuePeer = channel->session.remoteName;
        if (!issuePeer && channel->peerKey) {
            for (const auto& peer : snapshot_.peers) {
                if (peer.id == *channel->peerKey) {
                    issuePeer = peer.name;
                    break;
                }
            }
        }
        snapshot_.connectionIssuePeer = issuePeer;
        if (channels_.empty()) {
            lostPeer_ = peerKeyOf(*channel);
        }
        snapshot_.activePeerName.reset();
        snapshot_.state = !channels_.empty() ? ConnectionState::connecting
                          : failed           ? ConnectionState::failed
                                             : ConnectionState::searching;
        snapshot_.status = reason;
        snapshot_.diagnostics = "No current verified connection.";
        snapshot_.probeResult = "No active probe; connection ended.";
        snapshot_.probeStatus = ProbeStatus::interrupted;
    }
    if (started_ && channels_.empty() && !retryTask_) {
        const Uuid generation = generation_;
        retryTask_ =
            after(failed ? 3.0 : 1.0, [generation](WireService& self) { self.redial(generation); });
    }
    publishStep();
}

void WireService::redial(const Uuid& generation) {
    if (generation != generation_) {
        return;
    }
    retryTask_.reset();
    if (!channels_.empty()) {
        return;
    }
    snapshot_.state = ConnectionState::searching;
    if (auto candidate = directory_.dialCandidate()) {
        dial(candidate->id);
    }
    publishStep();
}

void WireService::restartBrowsing(const Uuid& instance) {
    directory_.forgetInstance(instance);
    snapshot_.peers = directory_.peers();
    if (selected_) {
        if (browser_) {
            browser_->cancel();
        }
        ++discoveryRestarts_;
        startBrowser(selected_);
    }
}

}  // namespace sorvanta
