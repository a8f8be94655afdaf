#include "engines/bulk_transfer.h"

#include <asio/post.hpp>
#include <exception>

#include "platform/net/wired_path.h"
#include "protocol/protocol_failure.h"

namespace sorvanta {
namespace {

std::string endpointText(const std::optional<Endpoint>& endpoint) {
    return endpoint ? endpoint->text() : "unknown";
}

// The path's remote host is the peer's: the same address, and for a scoped IPv6 peer the
// same scope.
bool sameHost(const asio::ip::address& seen, const asio::ip::address& expected) {
    const auto a = unmapped(seen);
    const auto b = unmapped(expected);
    if (a.is_v6() && b.is_v6()) {
        const auto x = a.to_v6();
        const auto y = b.to_v6();
        return x.to_bytes() == y.to_bytes() && (y.scope_id() == 0 || x.scope_id() == y.scope_id());
    }
    return a == b;
}

}  // namespace

std::shared_ptr<BulkTransfer> BulkTransfer::create(NetworkExecutor executor,
                                                   NetworkFactory& factory, Scheduler& scheduler,
                                                   Settings settings, Notify notify) {
    return std::shared_ptr<BulkTransfer>(new BulkTransfer(std::move(executor), factory, scheduler,
                                                          std::move(settings), std::move(notify)));
}

BulkTransfer::BulkTransfer(NetworkExecutor executor, NetworkFactory& factory, Scheduler& scheduler,
                           Settings settings, Notify notify)
    : executor_(std::move(executor)),
      factory_(factory),
      scheduler_(scheduler),
      settings_(std::move(settings)),
      notify_(std::move(notify)),
      epoch_(scheduler.clock().now()),
      reportBuilder_(settings_.preamble, connectionIdentity_,
                     settings_.interface ? settings_.interface->name : std::string(),
                     settings_.interface ? settings_.interface->index : 0),
      meter_(settings_.barrierControlled, settings_.warmup, settings_.measurement) {}

BulkTransfer::~BulkTransfer() {
    // An owner that drops the engine without shutting it down still closes its sockets.
    if (tickToken_) {
        scheduler_.cancel(*tickToken_);
    }
    if (listener_) {
        listener_->cancel();
    }
    if (connection_) {
        connection_->cancel();
    }
    if (callbacks_) {
        callbacks_->continuation().finish();
    }
}

double BulkTransfer::now() const {
    return scheduler_.clock().now() - epoch_;
}

void BulkTransfer::emit(Event event) {
    if (notify_) {
        notify_(event);
    }
}

// ---- starting, the callback queue and the tick ------------------------------------------

void BulkTransfer::start(std::optional<std::uint16_t> port) {
    if (begun_ || ended_) {
        return;
    }
    begun_ = true;
    callbacks_ = std::make_shared<Callbacks>(executor_, callbackCapacity);
    consume(weak_from_this(), callbacks_);
    scheduleTick();

    auto failStart = [this](const std::string& why) {
        fail("Could not prepare the data connection: " + why, RunEndCause::tester);
    };
    try {
        if (settings_.receiving) {
            if (!settings_.interface) {
                throw ProtocolFailure::unexpectedMessage;
            }
            listener_ =
                factory_.makeTcpListener(executor_, makeWiredParameters(*settings_.interface), 0);
            auto queue = callbacks_;
            listener_->setStateHandler(
                [queue](const ListenerState& state) { queue->send(ListenerChanged{state}); });
            listener_->setNewConnectionHandler([queue](std::shared_ptr<TcpConnection> c) {
                if (!queue->send(Accepted{c})) {
                    c->cancel();
                }
            });
            listener_->start();
            return;
        }
        if (!port || *port == 0) {
            throw ProtocolFailure::malformed;
        }
        const auto seed = drawPayloadSeed();
        if (!settings_.verificationOnly) {
            payload_ = makePayload(seed);
        }
        if (!settings_.interface) {
            throw ProtocolFailure::unexpectedMessage;
        }
        adopt(factory_.makeTcpConnection(executor_, Endpoint{settings_.peerHost, *port},
                                         makeWiredParameters(*settings_.interface)));
    } catch (const ProtocolFailure& failure) {
        // No peer message is involved: the failure's own name, not its peer-message text.
        failStart(failure.name());
    } catch (const std::exception& error) {
        failStart(error.what());
    }
}

void BulkTransfer::consume(std::weak_ptr<BulkTransfer> weak, std::shared_ptr<Callbacks> queue) {
    auto& stream = queue->stream();
    stream.next([weak, queue](std::optional<Callback> value) mutable {
        if (!value) {
            auto self = weak.lock();
            if (queue->overflow() && self) {
                self->fail("Bulk callback capacity exceeded.", RunEndCause::tester);
            }
            return;
        }
        // Completions that queued up meanwhile are handled in this turn, in order: a data
        // connection at full rate then costs one turn of the executor per burst.
        int taken = 0;
        do {
            auto self = weak.lock();
            if (queue->overflow() || !self) {
                if (auto* accepted = std::get_if<Accepted>(&*value)) {
                    accepted->connection->cancel();
                }
            } else {
                self->handle(std::move(*value));
            }
        } while (++taken < callbacksPerTurn && (value = queue->stream().tryNext()));
        consume(std::move(weak), std::move(queue));
    });
}

void BulkTransfer::scheduleTick() {
    tickToken_ = scheduler_.schedule(tickPeriod, [weak = weak_from_this(), queue = callbacks_] {
        auto self = weak.lock();
        if (!self || self->ended_ || !queue->send(Tick{})) {
            return;
        }
        self->scheduleTick();
    });
}

// ---- the dispatcher -----------------------------------------------------------------------

void BulkTransfer::handle(Callback callback) {
    if (ended_) {
        if (auto* accepted = std::get_if<Accepted>(&callback)) {
            accepted->connection->cancel();
        }
        return;
    }
    if (collecting_) {
        return;
    }
    std::visit(
        [this](auto&& value) {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, ListenerChanged>) {
                listenerChanged(value.state);
            } else if constexpr (std::is_same_v<T, Accepted>) {
                adopt(std::move(value.connection));
            } else if constexpr (std::is_same_v<T, StateChanged>) {
                stateChanged(value.state);
            } else if constexpr (std::is_same_v<T, PathChanged>) {
                if (ready_ && !pathMatches(value.path)) {
                    fail("Selected Ethernet data path lost.", RunEndCause::connection);
                }
            } else if constexpr (std::is_same_v<T, ViabilityChanged>) {
                if (ready_ && !value.viable) {
                    fail("Ethernet data connection no longer viable.", RunEndCause::connection);
                }
            } else if constexpr (std::is_same_v<T, VerificationReplySent>) {
                if (value.error) {
                    fail("Preparation reply failed.", RunEndCause::connection);
                } else {
                    verificationComplete_ = true;
                    emit(BulkTransferEvent::Verified{});
                }
            } else if constexpr (std::is_same_v<T, PreambleSent>) {
                if (value.error) {
                    fail("Data preamble send failed.", RunEndCause::connection);
                } else {
                    preambleSent_ = true;
                    pumpSends();
                }
            } else if constexpr (std::is_same_v<T, Sent>) {
                pendingSends_ = pendingSends_ > 0 ? pendingSends_ - 1 : 0;
                if (value.error) {
                    fail("Data send failed.", RunEndCause::connection);
                    return;
                }
                lastProgress_ = now();
                while (transferring_ && !ended_ && connection_ && callbacks_ &&
                       pendingSends_ < sendsInFlight) {
                    sendPayload();
                }
            } else if constexpr (std::is_same_v<T, Received>) {
                received(std::move(value));
            } else {
                tick(now());
            }
        },
        callback);
}

void BulkTransfer::listenerChanged(const ListenerState& state) {
    using Kind = ListenerState::Kind;
    switch (state.kind) {
        case Kind::waiting:
            classifyWaiting(state.error);
            reportUnverifiedSetup("Listener waiting: " + state.error.text());
            break;
        case Kind::failed:
            preparationIssue_ = classifySetupIssue(state.error, false);
            fail("Data listener failed: " + state.error.text(), RunEndCause::connection);
            break;
        case Kind::ready: {
            const std::uint16_t port = state.port != 0 ? state.port
                                       : listener_     ? listener_->port()
                                                       : std::uint16_t{0};
            if (listener_ && port != 0) {
                emit(BulkTransferEvent::Listening{port});
            }
            break;
        }
        default:
            break;
    }
}

void BulkTransfer::stateChanged(const TransportState& state) {
    using Kind = TransportState::Kind;
    const auto text = state.error.text();
    switch (state.kind) {
        case Kind::waiting:
            classifyWaiting(state.error);
            reportUnverifiedSetup("Connection waiting: " + text);
            if (ready_) {
                fail("Established data connection interrupted: " + text, RunEndCause::connection);
            } else {
                preparationWaitReason_ = text;
            }
            break;
        case Kind::failed:
            preparationIssue_ = classifySetupIssue(state.error, localNetworkDenied());
            reportUnverifiedSetup("Connection failed: " + text);
            fail("Data connection failed: " + text, RunEndCause::connection);
            break;
        case Kind::ready:
            connectionReady();
            break;
        case Kind::cancelled:
            fail("Data connection cancelled.", RunEndCause::connection);
            break;
        default:
            break;
    }
}

void BulkTransfer::adopt(std::shared_ptr<TcpConnection> connection) {
    if (ended_ || connection_ || !callbacks_) {
        connection->cancel();
        return;
    }
    connection_ = std::move(connection);
    acceptedAt_ = now();
    if (listener_) {
        listener_->cancel();
        listener_.reset();
    }
    auto queue = callbacks_;
    connection_->setStateHandler(
        [queue](const TransportState& state) { queue->send(StateChanged{state}); });
    connection_->setPathHandler(
        [queue](const NetworkPath& path) { queue->send(PathChanged{path}); });
    connection_->setViabilityHandler(
        [queue](bool viable) { queue->send(ViabilityChanged{viable}); });
    connection_->start(executor_);
}

void BulkTransfer::connectionReady() {
    if (ready_ || !verifyCurrentPath() || !connection_ || !callbacks_) {
        return;
    }
    ready_ = true;
    if (!settings_.receiving && !settings_.verificationOnly) {
        transferReport_ = connection_->startDataTransferReport();
        readyAt_ = now();
    }
    preparationWaitReason_.reset();
    preparationIssue_.reset();
    const auto path = connection_->currentPath();
    emit(BulkTransferEvent::Path{
        "Data path: " + endpointText(path ? path->localEndpoint : std::nullopt) + " → " +
        endpointText(path ? path->remoteEndpoint : std::nullopt) + "; interface " +
        settings_.interface->name});
    if (!settings_.receiving) {
        connection_->send(settings_.preamble.encoded(),
                          [queue = callbacks_](auto error) { queue->send(PreambleSent{error}); });
    }
    receiveNext();
}

bool BulkTransfer::pathMatches(const NetworkPath& path) const {
    return settings_.interface && isWiredPath(path, *settings_.interface) && path.remoteEndpoint &&
           sameHost(path.remoteEndpoint->host, settings_.peerHost);
}

bool BulkTransfer::verifyCurrentPath() {
    if (connection_) {
        const auto path = connection_->currentPath();
        if (path && pathMatches(*path)) {
            return true;
        }
    }
    fail("Data path does not match the selected Ethernet peer/interface.", RunEndCause::connection);
    return false;
}

void BulkTransfer::reportUnverifiedSetup(const std::string& detail) {
    std::optional<NetworkPath> path;
    if (connection_) {
        path = connection_->currentPath();
    }
    std::string text = "Data setup (not verified): " + detail;
    text += "; target " + (connection_ ? connection_->endpoint().text() : "unknown");
    text += "; required interface " + (settings_.interface ? settings_.interface->name : "");
    text += "; path " + (path ? std::string(pathStatusName(path->status)) : "unavailable");
    text += "; unsatisfied reason ";
    if (!path) {
        text += "unavailable";
    } else if (path->status == PathStatus::unsatisfied && path->unsatisfiedReason) {
        text += unsatisfiedReasonName(*path->unsatisfiedReason);
    } else {
        text += "none";
    }
    emit(BulkTransferEvent::Path{std::move(text)});
}

bool BulkTransfer::localNetworkDenied() const {
    if (!connection_) {
        return false;
    }
    const auto path = connection_->currentPath();
    return path && path->unsatisfiedReason == UnsatisfiedReason::localNetworkDenied;
}

void BulkTransfer::classifyWaiting(const PlatformError& error) {
    preparationIssue_ = classifySetupIssue(error, localNetworkDenied());
    if (settings_.verificationOnly) {
        emit(BulkTransferEvent::PreparationWaiting{*preparationIssue_});
    }
}

// ---- the sequencer's calls ---------------------------------------------------------------

void BulkTransfer::startTransfer() {
    if (ended_ || transferring_ || settings_.verificationOnly) {
        return;
    }
    startRequested_ = true;
    if (!settings_.receiving) {
        pumpSends();
        return;
    }
    if (!decoder_.complete() || !ready_) {
        fail("Data stream is not prepared.", RunEndCause::tester);
        return;
    }
    transferring_ = true;
    lastProgress_ = now();
    bulkStarted_ = now();
    receiveNext();
}

void BulkTransfer::beginMeasurementWindow() {
    if (ended_ || settings_.receiving || !transferring_ || windowReport_ || !connection_ ||
        !readyAt_) {
        return;
    }
    windowReport_ = connection_->startDataTransferReport();
    windowStart_ = now() - *readyAt_;
}

bool BulkTransfer::applyMeasurementBarrier() {
    if (ended_ || !settings_.receiving || !transferring_) {
        return false;
    }
    try {
        meter_.beginMeasurement(now());
        return true;
    } catch (const ProtocolFailure&) {
        fail("Invalid measurement barrier.", RunEndCause::tester);
        return false;
    }
}

void BulkTransfer::prepareForCollection() {
    transferring_ = false;
    collecting_ = true;
    if (tickToken_) {
        scheduler_.cancel(*tickToken_);
        tickToken_.reset();
    }
}

void BulkTransfer::fail(const std::string& message, RunEndCause cause) {
    if (ended_) {
        return;
    }
    if (settings_.receiving && transferring_ && !resultProduced_) {
        try {
            const auto sample = meter_.sample(now());
            sample.validate(false, 0);
            emit(BulkTransferEvent::Progress{sample});
        } catch (const ProtocolFailure&) {
            // The extra sample is only a courtesy; a refused one is left out.
        }
    }
    if (cause == RunEndCause::connection && settings_.verificationOnly) {
        emit(BulkTransferEvent::PreparationFailed{
            preparationIssue_.value_or(SetupIssue::connection)});
    }
    shutdown();
    emit(BulkTransferEvent::Failed{message, cause});
}

void BulkTransfer::shutdown() {
    if (ended_) {
        return;
    }
    ended_ = true;
    if (collection_) {
        finishCollection(reportBuilder_.failure(TcpSenderReport::collectionCancelled));
    }
    transferReport_.reset();
    windowReport_.reset();
    sliceReport_.reset();
    if (tickToken_) {
        scheduler_.cancel(*tickToken_);
        tickToken_.reset();
    }
    if (listener_) {
        listener_->cancel();
        listener_.reset();
    }
    if (connection_) {
        connection_->cancel();
        connection_.reset();
    }
    if (callbacks_) {
        // The consumer drains what is queued (ignored now, accepted connections cancelled)
        // and then ends with the stream.
        callbacks_->continuation().finish();
        callbacks_.reset();
    }
    payload_.reset();
}

}  // namespace sorvanta
