#include "service/wire_service.h"

#include <asio/post.hpp>

#include "platform/system/admission_class.h"
#include "platform/system/logger.h"
#include "service/interface_choice.h"
#include "service/peer_text.h"

namespace sorvanta {

namespace {

constexpr double hardwarePollSeconds = 0.5;

}  // namespace

std::shared_ptr<WireService> WireService::create(Dependencies dependencies) {
    return std::shared_ptr<WireService>(new WireService(std::move(dependencies)));
}

WireService::WireService(Dependencies dependencies)
    : deps_(std::move(dependencies)),
      localID_(deps_.localID.value_or(Uuid::random())),
      name_(cleanComputerName(deps_.computerName)),
      speedEpoch_(deps_.scheduler->clock().now()),
      directory_(localID_) {
    lowPower_ = deps_.lowPower->lowPower();
}

WireService::~WireService() {
    // A pump still waiting holds the queue; ending the stream lets it finish.
    if (callbacks_) {
        callbacks_->continuation().finish();
    }
}

void WireService::start(Publish publish) {
    asio::post(deps_.executor, [self = shared_from_this(), publish = std::move(publish)]() mutable {
        self->doStart(std::move(publish));
    });
}

void WireService::stop() {
    asio::post(deps_.executor, [self = shared_from_this()] { self->doStop(); });
}

void WireService::searchAgain() {
    asio::post(deps_.executor, [self = shared_from_this()] { self->doSearchAgain(); });
}

void WireService::selectInterface(int index) {
    asio::post(deps_.executor,
               [self = shared_from_this(), index] { self->doSelectInterface(index); });
}

void WireService::startQuickTest(QuickProfile profile) {
    asio::post(deps_.executor,
               [self = shared_from_this(), profile] { self->doStartQuickTest(profile); });
}

void WireService::stopQuickTest() {
    asio::post(deps_.executor, [self = shared_from_this()] { self->doStopQuickTest(); });
}

void WireService::log(ServiceLogLevel level, const std::string& text) const {
    if (deps_.log) {
        deps_.log(level, text);
    } else if (level == ServiceLogLevel::info) {
        Logger::transport().info(text);
    } else {
        Logger::transport().notice(text);
    }
}

WireService::Token WireService::after(double seconds, std::function<void(WireService&)> action) {
    return deps_.scheduler->schedule(seconds,
                                     [weak = weak_from_this(), action = std::move(action)] {
                                         if (auto self = weak.lock()) {
                                             action(*self);
                                         }
                                     });
}

void WireService::cancelTimer(std::optional<Token>& token) {
    if (token) {
        deps_.scheduler->cancel(*token);
        token.reset();
    }
}

std::optional<AdapterProfile> WireService::localAdapter(const std::string& name) const {
    auto identity = deps_.hardware->registryAdapter(name);
    if (!identity || !isAdmitted(adapterAdmission(*identity))) {
        return std::nullopt;
    }
    return AdapterProfile::fromIdentity(*identity);
}

double WireService::serviceTime() const {
    return deps_.scheduler->clock().now() - speedEpoch_;
}

void WireService::doStart(Publish publish) {
    if (started_) {
        return;
    }
    started_ = true;
    scheduleHardwareCheck();
    lowPower_ = deps_.lowPower->lowPower();
    snapshot_.localLowPower = lowPower_;
    deps_.lowPower->start(deps_.executor, [weak = weak_from_this()](bool lowPower) {
        if (auto self = weak.lock()) {
            self->lowPowerChanged(lowPower);
        }
    });
    observingPower_ = true;
    publish_ = std::move(publish);
    runID_ = Uuid::random();
    callbacks_ = std::make_shared<Queue>(deps_.executor, eventCapacity);
    pumpNext(weak_from_this(), callbacks_, runID_);
    monitor_ = deps_.network->makePathMonitor(deps_.executor, InterfaceType::wiredEthernet);
    monitor_->setUpdateHandler(
        [queue = callbacks_](const NetworkPath& path) { queue->send(InterfacesEvent{path}); });
    monitor_->start();
    snapshot_.state = ConnectionState::searching;
    snapshot_.status = "Looking for an Ethernet link\u2026";
    snapshot_.detectedInterfaces = deps_.hardware->wiredInventory();
    publishStep();
}

void WireService::pumpNext(std::weak_ptr<WireService> service, std::shared_ptr<Queue> queue,
                           Uuid runID) {
    auto& stream = queue->stream();
    stream.next([service, queue, runID](std::optional<Callback> event) mutable {
        if (!event) {
            auto self = service.lock();
            if (queue->overflow() && self) {
                self->callbacksOverflowed(runID);
            }
            return;
        }
        // Events that queued up meanwhile (a run's message and the snapshot after it, a send
        // completing beside a receive) are taken in this turn, in order, instead of one
        // hand-off each; the cap keeps the turn short for the run's own handlers.
        std::size_t taken = 0;
        do {
            auto self = service.lock();
            if (queue->overflow() || !self) {
                discard(*event);
            } else {
                self->dispatch(*event, runID);
            }
        } while (++taken < eventsPerTurn && (event = queue->stream().tryNext()));
        pumpNext(std::move(service), std::move(queue), runID);
    });
}

void WireService::discard(Callback& event) {
    if (auto* accepted = std::get_if<AcceptedEvent>(&event)) {
        accepted->connection->cancel();
    }
}

void WireService::dispatch(Callback& event, const Uuid& runID) {
    if (!started_ || runID != runID_) {
        discard(event);
        return;
    }
    std::visit(
        [&](auto& e) {
            using E = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<E, InterfacesEvent>) {
                interfacesChanged(e.path, runID);
            } else if constexpr (std::is_same_v<E, ListenerEvent>) {
                listenerStateChanged(e.state, e.generation);
            } else if constexpr (std::is_same_v<E, BrowserEvent>) {
                browserStateChanged(e.state, e.generation, e.browser);
            } else if constexpr (std::is_same_v<E, RegistrationEvent>) {
                registrationChanged(e.text, e.generation);
            } else if constexpr (std::is_same_v<E, PeersEvent>) {
                peersChanged(e.results, e.generation, e.browser);
            } else if constexpr (std::is_same_v<E, AcceptedEvent>) {
                accepted(std::move(e.connection), e.generation);
            } else if constexpr (std::is_same_v<E, ConnectionEvent>) {
                connectionChanged(e.state, e.channel);
            } else if constexpr (std::is_same_v<E, PathEvent>) {
                pathChanged(e.path, e.channel);
            } else if constexpr (std::is_same_v<E, ViabilityEvent>) {
                viabilityLost(e.channel);
            } else if constexpr (std::is_same_v<E, ReceivedEvent>) {
                handleReceived(e);
            } else if constexpr (std::is_same_v<E, SentEvent>) {
                handleSent(e.error, e.channel);
            } else if constexpr (std::is_same_v<E, QuickEvent>) {
                handleQuickOutput(e.output, e.run);
            }
        },
        event);
}

void WireService::doStop() {
    if (speedRun_) {
        endHostedRun("Test stopped.", false, RunEndCause::stopped, false, true);
    }
    started_ = false;
    cancelTimer(hardwareWatch_);
    if (observingPower_) {
        deps_.lowPower->stop();
        observingPower_ = false;
    }
    runID_ = Uuid::random();
    if (callbacks_) {
        callbacks_->continuation().finish();
        callbacks_.reset();
    }
    if (monitor_) {
        monitor_->cancel();
        monitor_.reset();
    }
    resetDiscovery(true);
    selected_.reset();
    interfaces_.clear();
    snapshot_.selectedIndex.reset();
    snapshot_.interfaces.clear();
    snapshot_.detectedInterfaces.clear();
    snapshot_.permission = LocalNetworkState::undetermined;
    snapshot_.state = ConnectionState::cancelled;
    snapshot_.status = "Discovery stopped.";
    publishStep();
}

void WireService::publishStep() {
    refreshSnapshot();
    reevaluateReadiness();
    ++snapshot_.revision;  // unsigned: wraps to 0 after the largest value
    if (publish_) {
        publish_(snapshot_);
    }
}

void WireService::endBusy() {
    snapshot_.speed.busy = speedCleaning_;
    // The adapter watch rests while a run is busy (it would look at nothing then) and starts
    // again once the run is over.
    if (started_ && !hardwareWatch_ && !snapshot_.speed.busy) {
        scheduleHardwareCheck();
    }
}

void WireService::scheduleHardwareCheck() {
    cancelTimer(hardwareWatch_);
    hardwareWatch_ = after(hardwarePollSeconds, [](WireService& self) {
        self.hardwareWatch_.reset();
        if (!self.started_) {
            return;
        }
        self.checkHardware();
        if (self.started_ && !self.hardwareWatch_ && !self.snapshot_.speed.busy) {
            self.scheduleHardwareCheck();
        }
    });
}

void WireService::checkHardware() {
    if (!started_ || snapshot_.speed.busy) {
        return;
    }
    if (snapshot_.state == ConnectionState::ready || snapshot_.state == ConnectionState::probing) {
        for (const auto& entry : snapshot_.detectedInterfaces) {
            if (entry.linkActive == true) {
                return;
            }
        }
    }
    auto inventory = deps_.hardware->wiredInventory();
    const bool attaching = inventory.empty() && deps_.hardware->qualifiedAdapterOnBus();
    if (inventory == snapshot_.detectedInterfaces && attaching == snapshot_.adapterAttaching) {
        return;
    }
    if (attaching && !snapshot_.adapterAttaching) {
        log(ServiceLogLevel::notice,
            "A qualified USB Ethernet adapter is on the bus; waiting for its interface.");
    }
    if (!inventory.empty() && snapshot_.detectedInterfaces.empty()) {
        log(ServiceLogLevel::notice, "Ethernet adapter interface present.");
    }
    snapshot_.detectedInterfaces = std::move(inventory);
    snapshot_.adapterAttaching = attaching;
    publishStep();
}

void WireService::lowPowerChanged(bool now) {
    if (!started_) {
        return;
    }
    if (now == lowPower_) {
        return;
    }
    lowPower_ = now;
    snapshot_.localLowPower = now;
    std::vector<Uuid> ids;
    for (const auto& [id, channel] : channels_) {
        ids.push_back(id);
    }
    for (const Uuid& id : ids) {
        Channel* channel = findChannel(id);
        if (!channel) {
            continue;
        }
        const auto state = channel->session.machine.state;
        channel->session.localLowPower = now;
        if (state == ConnectionState::ready || state == ConnectionState::probing) {
            ControlMessage power;
            power.kind = ControlMessage::Kind::power;
            power.session = channel->session.sessionID;
            power.instance = channel->session.localID;
            power.lowPower = now;
            send(power, id);
        }
    }
    publishStep();
}

void WireService::callbacksOverflowed(const Uuid& runID) {
    if (!started_ || runID != runID_) {
        return;
    }
    if (speedRun_) {
        endHostedRun("Too many network events.", true, RunEndCause::tester, false, true);
    }
    if (monitor_) {
        monitor_->cancel();
        monitor_.reset();
    }
    if (callbacks_) {
        callbacks_->continuation().finish();
        callbacks_.reset();
    }
    resetDiscovery(true);
    snapshot_.state = ConnectionState::failed;
    snapshot_.status = "Too many network events. Choose Search Again to restart discovery.";
    publishStep();
}

void WireService::doSelectInterface(int index) {
    if (!started_ || snapshot_.speed.busy || snapshot_.state == ConnectionState::probing) {
        return;
    }
    if (selected_ && selected_->index == index) {
        return;
    }
    for (const auto& interface : interfaces_) {
        if (interface.index == index) {
            preferred_ = identityOf(interface);
            startDiscovery(interface);
            return;
        }
    }
}

void WireService::doSearchAgain() {
    if (!started_) {
        return;
    }
    if (!callbacks_) {
        if (publish_) {
            Publish publish = publish_;
            doStop();
            doStart(std::move(publish));
        }
        return;
    }
    backoff_.reset();
    snapshot_.detectedInterfaces = deps_.hardware->wiredInventory();
    if (selected_) {
        // The adapter may have been replaced (unplugged and plugged back, so under a new
        // index) before the path monitor said so, or without its saying so at all: discovery
        // starts on the interface the kernel has now, never on a dead index.
        const auto pinned = pinnedInInventory(*selected_, snapshot_.detectedInterfaces);
        if (pinned) {
            if (preferred_ && preferred_->name == pinned->name) {
                preferred_ = identityOf(*pinned);
            }
            startDiscovery(pinned);
            return;
        }
        dropSelection();
    }
    if (snapshot_.detectedInterfaces.empty()) {
        snapshot_.status = "Connect an Ethernet adapter, then choose Search Again.";
        publishStep();
    } else {
        startDiscovery(std::nullopt);
    }
}

}  // namespace sorvanta
