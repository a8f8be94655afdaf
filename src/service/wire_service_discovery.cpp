#include "platform/net/wired_path.h"
#include "protocol/mac_model.h"
#include "service/interface_choice.h"
#include "service/peer_text.h"
#include "service/wire_service.h"

namespace sorvanta {

namespace {

constexpr const char* serviceType = "_sorvanta._tcp";
constexpr const char* lookingForPeer = "Looking for another Mac running Sorvanta\u2026";
constexpr const char* peerDisappeared =
    "Peer disappeared. Looking for the Ethernet connection\u2026";

// A peer that stops answering while its link stays up (a hung computer, or its traffic
// blocked) would otherwise leave its control channel open, and the Mac shown connected,
// until TCP gives up after many minutes: after 5 s without a word the channel sends a probe
// every second, and 8 s without an acknowledgement of a probe, or of a message sent (a run
// that ends on its own 5 s deadline sends one), end it well within 15 s. Only control
// connections carry these; a run's data connections have parameters of their own.
constexpr NetworkParameters::Liveness controlLiveness{
    std::chrono::seconds(5), std::chrono::seconds(1), std::chrono::seconds(8)};

bool policyDenied(const ListenerState& state) {
    return state.error.domain == PlatformError::Domain::dnssd &&
           state.error.code == PlatformError::dnssdPolicyDenied;
}

bool policyDenied(const DnssdState& state) {
    return state.error.domain == PlatformError::Domain::dnssd &&
           state.error.code == PlatformError::dnssdPolicyDenied;
}

}  // namespace

NetworkParameters WireService::discoveryParameters(
    const std::optional<NetworkInterface>& interface) const {
    NetworkParameters parameters;
    if (interface) {
        parameters = makeWiredParameters(*interface);
    } else {
        // Unpinned bootstrap: the same rules without a required interface.
        parameters = NetworkParameters::tcp();
        parameters.requiredInterfaceType = InterfaceType::wiredEthernet;
        parameters.prohibitedInterfaceTypes = {InterfaceType::wifi, InterfaceType::loopback,
                                               InterfaceType::cellular, InterfaceType::other};
        parameters.includePeerToPeer = false;
    }
    parameters.liveness = controlLiveness;
    return parameters;
}

void WireService::interfacesChanged(const NetworkPath& path, const Uuid& runID) {
    if (!started_ || runID != runID_) {
        return;
    }
    if (channels_.empty()) {
        std::string text = "NW global wired route (not peer reachability): ";
        text += pathStatusName(path.status);
        text += "; interfaces: ";
        for (std::size_t i = 0; i < path.availableInterfaces.size(); ++i) {
            const auto& interface = path.availableInterfaces[i];
            if (i > 0) {
                text += ", ";
            }
            text += interface.name + "/" + std::to_string(interface.index) + "/" +
                    std::string(interfaceTypeName(interface.type));
        }
        text += "\n" + deps_.hardware->interfaceDescriptions();
        snapshot_.diagnostics = std::move(text);
    }
    updateInterfaces(path.availableInterfaces);
    const auto decision =
        decideInterface(snapshot_.detectedInterfaces.empty(), selected_, interfaces_, preferred_);
    using Kind = InterfaceDecision::Kind;
    if (decision.kind == Kind::noAdapter) {
        dropSelection();
        snapshot_.state = ConnectionState::searching;
        snapshot_.status = decisionStatus(decision.kind);
        publishStep();
        return;
    }
    if (decision.kind == Kind::keepSelected) {
        publishStep();
        return;
    }
    if (decision.selectedLost) {
        dropSelection();
    }
    if (decision.kind == Kind::startOn) {
        if (decision.remember) {
            preferred_ = identityOf(*decision.interface);
        }
        startDiscovery(decision.interface);
        return;
    }
    snapshot_.state = ConnectionState::searching;
    snapshot_.status = decisionStatus(decision.kind);
    if (!listener_ && !snapshot_.detectedInterfaces.empty()) {
        startDiscovery(std::nullopt);
    } else {
        publishStep();
    }
}

void WireService::updateInterfaces(const std::vector<NetworkInterface>& available) {
    snapshot_.detectedInterfaces = deps_.hardware->wiredInventory();
    interfaces_ = usableInterfaces(interfaces_, available, snapshot_.detectedInterfaces);
    snapshot_.interfaces = usableInventory(snapshot_.detectedInterfaces, interfaces_);
}

void WireService::startDiscovery(const std::optional<NetworkInterface>& requested) {
    if (!callbacks_) {
        return;
    }
    // The argument may refer to selected_, which the reset leaves alone; copy it anyway.
    const std::optional<NetworkInterface> interface = requested;
    resetDiscovery(false);
    selected_ = interface;
    snapshot_.selectedIndex =
        interface ? std::optional<int>(interface->index) : std::optional<int>();
    if (interface) {
        for (const auto& entry : snapshot_.detectedInterfaces) {
            if (sameInterface(*interface, entry.identity)) {
                snapshot_.intendedInterface = entry;
            }
        }
    }
    snapshot_.permission = LocalNetworkState::undetermined;
    snapshot_.state = ConnectionState::searching;
    snapshot_.status = lookingForPeer;
    if (!interface) {
        snapshot_.status = "Discovering the Ethernet interface with Bonjour\u2026";
        snapshot_.diagnostics =
            "Ethernet-only Bonjour bootstrap; control connections rejected until an interface "
            "is pinned.\n" +
            deps_.hardware->interfaceDescriptions();
    } else {
        log(ServiceLogLevel::info,
            "Selected Ethernet " + interface->name + " index " + std::to_string(interface->index));
    }
    AdvertisedListener::Service advertisement;
    advertisement.instanceName = name_;
    advertisement.serviceType = serviceType;
    advertisement.txt = {{"v", "9"}, {"id", localID_.text()}};
    if (deps_.model && MacModel::isValidIdentifier(*deps_.model)) {
        advertisement.txt.emplace_back("m", *deps_.model);
    }
    std::shared_ptr<AdvertisedListener> listener;
    try {
        listener = deps_.network->makeAdvertisedListener(
            deps_.executor, discoveryParameters(interface), std::move(advertisement));
    } catch (const std::exception& error) {
        discoveryUnavailable(stripUnsafeScalars(error.what()), false, true);
        return;
    }
    const Uuid generation = generation_;
    auto queue = callbacks_;
    listener->setStateHandler([queue, generation](const ListenerState& state) {
        queue->send(ListenerEvent{state, generation});
    });
    listener->setRegistrationHandler([queue, generation](const DnssdRegistrationChange& change) {
        queue->send(RegistrationEvent{change.text(), generation});
    });
    listener->setNewConnectionHandler(
        [queue, generation](std::shared_ptr<TcpConnection> connection) {
            if (!queue->send(AcceptedEvent{connection, generation})) {
                connection->cancel();
            }
        });
    listener_ = listener;
    listener->start();
    startBrowser(interface);
    publishStep();
}

void WireService::startBrowser(const std::optional<NetworkInterface>& interface) {
    if (!callbacks_) {
        return;
    }
    DnssdBrowser::Options options;
    options.serviceType = serviceType;
    if (interface) {
        options.interfaceIndex = interface->index;
    }
    auto browser = deps_.network->makeBrowser(deps_.executor, options);
    const std::uint64_t serial = ++browserSerial_;
    const Uuid generation = generation_;
    auto queue = callbacks_;
    browser->setStateHandler([queue, generation, serial](const DnssdState& state) {
        queue->send(BrowserEvent{state, generation, serial});
    });
    browser->setResultsHandler(
        [queue, generation, serial](const std::vector<DnssdBrowseResult>& results) {
            queue->send(PeersEvent{results, generation, serial});
        });
    browser_ = browser;
    browser->start();
}

void WireService::dropSelection() {
    resetDiscovery(true);
    selected_.reset();
    snapshot_.selectedIndex.reset();
}

void WireService::resetDiscovery(bool connectionLost) {
    if (speedRun_) {
        endHostedRun(connectionLost ? "Connection ended; result unavailable if not received."
                                    : "Test stopped.",
                     connectionLost,
                     connectionLost ? RunEndCause::connection : RunEndCause::stopped, false, true);
    }
    generation_ = Uuid::random();
    cancelTimer(retryTask_);
    cancelTimer(recoveryTask_);
    if (browser_) {
        browser_->cancel();
        browser_.reset();
    }
    if (listener_) {
        listener_->cancel();
        listener_.reset();
    }
    auto channels = std::move(channels_);
    channels_.clear();
    for (auto& [id, channel] : channels) {
        cancelTimer(channel->deadline);
        cancelTimer(channel->partialDeadline);
        cancelTimer(channel->pathGrace);
        channel->session.pendingProbe.reset();
        channel->session.machine.state = ConnectionState::cancelled;
        channel->connection->cancel();
    }
    activeChannelID_.reset();
    lostPeer_.reset();
    snapshot_.activePeerName.reset();
    directory_.clearPeers();
    browseResults_.clear();
    snapshot_.peers.clear();
    snapshot_.diagnostics = "No connection path verified.";
    snapshot_.probeResult = "No probe sent on this connection.";
    snapshot_.probeStatus = ProbeStatus::none;
    listenerReady_ = false;
    browserReady_ = false;
    reevaluateReadiness();
}

void WireService::registrationChanged(const std::string& text, const Uuid& generation) {
    if (generation != generation_) {
        return;
    }
    (void)text;  // names of registered services stay out of the log
    log(ServiceLogLevel::info, "Bonjour registration: <private>");
}

void WireService::listenerStateChanged(const ListenerState& state, const Uuid& generation) {
    if (generation != generation_) {
        return;
    }
    log(ServiceLogLevel::info, "Listener: " + state.text());
    switch (state.kind) {
        case ListenerState::Kind::ready:
            listenerReady_ = true;
            discoveryReady();
            break;
        case ListenerState::Kind::waiting:
        case ListenerState::Kind::failed:
            listenerReady_ = false;
            discoveryUnavailable(state.error.text(), policyDenied(state),
                                 state.kind == ListenerState::Kind::failed);
            break;
        default:
            break;
    }
}

void WireService::browserStateChanged(const DnssdState& state, const Uuid& generation,
                                      std::uint64_t browser) {
    if (generation != generation_ || browser != browserSerial_) {
        return;
    }
    log(ServiceLogLevel::info, "Browser: " + state.text());
    switch (state.kind) {
        case DnssdState::Kind::ready:
            browserReady_ = true;
            discoveryReady();
            break;
        case DnssdState::Kind::waiting:
        case DnssdState::Kind::failed:
            browserReady_ = false;
            discoveryUnavailable(state.error.text(), policyDenied(state),
                                 state.kind == DnssdState::Kind::failed);
            break;
        default:
            break;
    }
}

void WireService::discoveryReady() {
    if (listenerReady_ && browserReady_) {
        if (snapshot_.permission != LocalNetworkState::available) {
            snapshot_.permission = LocalNetworkState::waiting;
        }
        if (channels_.empty()) {
            snapshot_.status = lookingForPeer;
        }
        backoff_.reset();
    }
    publishStep();
}

void WireService::discoveryUnavailable(const std::string& detail, bool denied, bool failed) {
    snapshot_.permission =
        denied ? LocalNetworkState::unavailable : LocalNetworkState::undetermined;
    snapshot_.status =
        denied
            ? "Allow Sorvanta in System Settings \u2192 Privacy & Security \u2192 Local Network. "
              "If a prompt is open, answer it first, then choose Search Again."
            : "Waiting for the local network. Check the cable and Local Network access, then "
              "choose Search Again.";
    log(ServiceLogLevel::notice, "Discovery waiting: " + detail);
    if (channels_.empty()) {
        snapshot_.diagnostics =
            "Discovery: " + detail + "\n" + deps_.hardware->interfaceDescriptions();
    }
    if (failed && !recoveryTask_) {
        const auto delay = backoff_.take();
        const Uuid generation = generation_;
        recoveryTask_ = after(static_cast<double>(delay), [generation](WireService& self) {
            self.restartDiscovery(generation);
        });
    }
    publishStep();
}

void WireService::restartDiscovery(const Uuid& generation) {
    if (generation != generation_) {
        return;
    }
    recoveryTask_.reset();
    if (started_ && !snapshot_.detectedInterfaces.empty()) {
        startDiscovery(selected_);
    }
}

void WireService::peersChanged(const std::vector<DnssdBrowseResult>& results,
                               const Uuid& generation, std::uint64_t browser) {
    if (generation != generation_ || browser != browserSerial_) {
        return;
    }
    if (!selected_) {
        std::vector<NetworkInterface> seen;
        for (const auto& result : results) {
            seen.push_back(result.interface());
        }
        updateInterfaces(seen);
        if (auto candidate = bootstrapCandidate(interfaces_, preferred_)) {
            preferred_ = identityOf(*candidate);
            startDiscovery(candidate);
            return;
        }
        snapshot_.status = interfaces_.empty()
                               ? "Waiting for Ethernet Bonjour discovery."
                               : "Choose the Ethernet adapter connected to the other Mac.";
        publishStep();
        return;
    }
    browseResults_.clear();
    std::vector<PeerDirectory::Entry> entries;
    for (const auto& result : results) {
        if (!sameInterface(result.interface(), identityOf(*selected_))) {
            continue;
        }
        browseResults_.insert_or_assign(result.endpointText, result);
        entries.push_back({result.instanceName(), result.endpointText, result.txt});
    }
    const auto update = directory_.update(std::move(entries));
    std::vector<Uuid> closing;
    for (const auto& [id, channel] : channels_) {
        const auto key = peerKeyOf(*channel);
        if (key && update.vanished.contains(*key)) {
            closing.push_back(id);
        }
    }
    for (const Uuid& id : closing) {
        // A link that went down takes the records heard over it along, often before the
        // connection itself notices: then the cable is what to tell the user about.
        const Channel* channel = findChannel(id);
        if (channel && deps_.hardware->linkState(channel->interface.name).active == false) {
            closeChannel(id, linkNotViable, true);
        } else {
            closeChannel(id, peerDisappeared, false);
        }
    }
    if (update.changed) {
        log(ServiceLogLevel::info,
            "Bonjour peers changed: " + std::to_string(directory_.peers().size()));
    }
    snapshot_.peers = directory_.peers();
    if (channels_.empty()) {
        // The peer whose connection just ended is gone from browsing too: say so, rather
        // than a plain search text that hides why the connection did not come back. A failure
        // that ended it (a pulled cable, say) keeps its own, more precise, text.
        const bool lostVanished = lostPeer_ && update.vanished.contains(*lostPeer_);
        if (lostVanished) {
            lostPeer_.reset();
        }
        const bool keepFailure = lostVanished && snapshot_.state == ConnectionState::failed;
        snapshot_.state =
            directory_.peers().empty() ? ConnectionState::searching : ConnectionState::peerFound;
        if (directory_.peers().size() >= 2) {
            snapshot_.status = "Choose the Mac connected to the cable you want to check.";
        } else if (!keepFailure) {
            snapshot_.status = lostVanished ? peerDisappeared : lookingForPeer;
        }
        if (auto candidate = directory_.dialCandidate()) {
            dial(candidate->id);
        }
    }
    publishStep();
}

void WireService::dial(const std::string& key) {
    if (!channels_.empty() || !selected_) {
        return;
    }
    auto endpoint = directory_.endpoints().find(key);
    if (endpoint == directory_.endpoints().end()) {
        return;
    }
    auto result = browseResults_.find(endpoint->second);
    if (result == browseResults_.end()) {
        return;
    }
    const auto& peers = directory_.peers();
    auto peer =
        std::find_if(peers.begin(), peers.end(), [&](const Peer& p) { return p.id == key; });
    if (peer == peers.end() || !peer->compatible) {
        return;
    }
    const std::optional<Uuid> expected = peer->instance;
    auto connection = deps_.network->makeBrowsedConnection(deps_.executor, result->second.endpoint,
                                                           discoveryParameters(selected_));
    adopt(std::move(connection), true, key, expected);
}

void WireService::accepted(std::shared_ptr<TcpConnection> connection, const Uuid& generation) {
    if (generation != generation_ || !selected_ || channels_.size() > 3) {
        connection->cancel();
        return;
    }
    adopt(std::move(connection), false, std::nullopt, std::nullopt);
}

}  // namespace sorvanta
