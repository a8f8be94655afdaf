#include "platform/dnssd/mdns_browsed_connection.h"

#include <asio/post.hpp>
#include <cerrno>

#include "platform/net/socket_tcp_connection.h"

namespace sorvanta {

std::shared_ptr<MdnsBrowsedConnection> MdnsBrowsedConnection::create(
    NetworkExecutor executor, DnssdEndpoint endpoint, NetworkParameters parameters,
    std::chrono::milliseconds resolveTimeout) {
    return std::shared_ptr<MdnsBrowsedConnection>(new MdnsBrowsedConnection(
        std::move(executor), std::move(endpoint), std::move(parameters), resolveTimeout));
}

MdnsBrowsedConnection::MdnsBrowsedConnection(NetworkExecutor executor, DnssdEndpoint endpoint,
                                             NetworkParameters parameters,
                                             std::chrono::milliseconds resolveTimeout)
    : executor_(executor),
      endpoint_(std::move(endpoint)),
      parameters_(std::move(parameters)),
      resolveTimeout_(resolveTimeout),
      retryTimer_(executor),
      nextAddressTimer_(executor) {}

MdnsBrowsedConnection::~MdnsBrowsedConnection() {
    if (resolver_) {
        resolver_->cancel();
    }
    if (connection_) {
        connection_->cancel();
    }
}

void MdnsBrowsedConnection::start() {
    asio::post(executor_, [self = shared_from_this()] {
        if (self->started_ || self->cancelled_) {
            return;
        }
        self->started_ = true;
        self->setState({TransportState::Kind::preparing, {}});
        self->attempt();
    });
}

void MdnsBrowsedConnection::attempt() {
    const auto current = ++attempt_;
    resolver_ = DnssdResolver::create(executor_, endpoint_, resolveTimeout_);
    std::weak_ptr<MdnsBrowsedConnection> weak = weak_from_this();
    resolver_->start([weak, current](const std::vector<asio::ip::tcp::endpoint>& addresses,
                                     std::optional<PlatformError> error) {
        auto self = weak.lock();
        if (self && !self->cancelled_ && current == self->attempt_) {
            self->resolved(addresses, error);
        }
    });
}

void MdnsBrowsedConnection::resolved(const std::vector<asio::ip::tcp::endpoint>& addresses,
                                     std::optional<PlatformError> error) {
    resolver_.reset();
    if (error || addresses.empty()) {
        enterWaiting(error.value_or(PlatformError::posix(EHOSTUNREACH)));
        return;
    }
    addresses_ = addresses;
    next_ = 0;
    dialNext();
}

void MdnsBrowsedConnection::dialNext() {
    remote_ = Endpoint::from(addresses_[next_++]);
    auto connection = SocketTcpConnection::create(executor_, remote_, parameters_);
    std::weak_ptr<MdnsBrowsedConnection> weak = weak_from_this();
    const auto current = attempt_;
    const auto dial = ++dial_;
    connection->setStateHandler([weak, current, dial](const TransportState& state) {
        if (auto self = weak.lock()) {
            self->dialledStateChanged(current, dial, state);
        }
    });
    connection->setPathHandler([weak, current, dial](const NetworkPath& path) {
        auto self = weak.lock();
        if (self && self->isCurrent(current, dial) && self->gate_.isOpen() && self->pathHandler_) {
            self->pathHandler_(path);
        }
    });
    connection->setViabilityHandler([weak, current, dial](bool viable) {
        auto self = weak.lock();
        if (self && self->isCurrent(current, dial) && self->gate_.isOpen() &&
            self->viabilityHandler_) {
            self->viabilityHandler_(viable);
        }
    });
    {
        std::lock_guard lock(mutex_);
        connection_ = connection;
    }
    connection->start();
    if (next_ < addresses_.size()) {
        // A dropped SYN fails only at the socket's own connect limit, after the owner has
        // stopped waiting for ready: while another address remains, move on sooner.
        nextAddressTimer_.expires_after(nextAddressAfter);
        nextAddressTimer_.async_wait([weak, current, dial](const asio::error_code& e) {
            auto self = weak.lock();
            if (!e && self && !self->cancelled_ && self->isCurrent(current, dial) &&
                self->state().kind != TransportState::Kind::ready) {
                self->dialFailed(PlatformError::posix(ETIMEDOUT));
            }
        });
    }
}

void MdnsBrowsedConnection::dialledStateChanged(std::uint64_t attempt, std::uint64_t dial,
                                                const TransportState& state) {
    if (cancelled_ || !isCurrent(attempt, dial)) {
        return;
    }
    const bool wasReady = this->state().kind == TransportState::Kind::ready;
    switch (state.kind) {
        case TransportState::Kind::ready:
            becomeReady();
            break;
        case TransportState::Kind::waiting:
        case TransportState::Kind::failed:
            if (wasReady) {
                setState(state);  // the connection broke: no second try from here
            } else {
                dialFailed(state.error);
            }
            break;
        default:
            break;
    }
}

void MdnsBrowsedConnection::dialFailed(PlatformError error) {
    nextAddressTimer_.cancel();
    dialled()->cancel();
    {
        std::lock_guard lock(mutex_);
        connection_.reset();
    }
    if (next_ < addresses_.size()) {
        dialNext();
        return;
    }
    // Every address failed: resolve again rather than redial addresses that may be stale.
    enterWaiting(error);
}

void MdnsBrowsedConnection::becomeReady() {
    nextAddressTimer_.cancel();
    setState({TransportState::Kind::ready, {}});
    auto connection = dialled();
    while (!sends_.empty()) {
        auto pending = std::move(sends_.front());
        sends_.pop_front();
        connection->send(std::move(pending.data), std::move(pending.completion));
    }
    if (receive_) {
        auto pending = std::move(*receive_);
        receive_.reset();
        connection->receive(pending.minimum, pending.maximum, std::move(pending.completion));
    }
}

void MdnsBrowsedConnection::enterWaiting(PlatformError error) {
    setState(TransportState::waiting(error));
    retryTimer_.expires_after(retryInterval);
    std::weak_ptr<MdnsBrowsedConnection> weak = weak_from_this();
    retryTimer_.async_wait([weak, current = attempt_](const asio::error_code& e) {
        auto self = weak.lock();
        if (!e && self && !self->cancelled_ && current == self->attempt_) {
            self->attempt();
        }
    });
}

void MdnsBrowsedConnection::setState(const TransportState& state) {
    {
        std::lock_guard lock(mutex_);
        if (state_ == state) {
            return;
        }
        state_ = state;
    }
    if (gate_.isOpen() && stateHandler_) {
        stateHandler_(state);
    }
}

std::shared_ptr<TcpConnection> MdnsBrowsedConnection::dialled() const {
    std::lock_guard lock(mutex_);
    return connection_;
}

void MdnsBrowsedConnection::send(std::shared_ptr<const Bytes> data, SendCompletion completion) {
    asio::post(executor_, [self = shared_from_this(), data = std::move(data),
                           completion = std::move(completion)]() mutable {
        if (self->cancelled_) {
            return;
        }
        if (self->state().kind == TransportState::Kind::ready) {
            self->dialled()->send(std::move(data), std::move(completion));
        } else {
            self->sends_.push_back({std::move(data), std::move(completion)});
        }
    });
}

void MdnsBrowsedConnection::receive(std::size_t minimum, std::size_t maximum,
                                    ReceiveCompletion completion) {
    asio::post(executor_, [self = shared_from_this(), minimum, maximum,
                           completion = std::move(completion)]() mutable {
        if (self->cancelled_) {
            return;
        }
        if (minimum > maximum || maximum == 0) {
            completion({}, false, PlatformError::posix(EINVAL));
        } else if (self->state().kind == TransportState::Kind::ready) {
            self->dialled()->receive(minimum, maximum, std::move(completion));
        } else if (self->receive_) {
            completion({}, false, PlatformError::posix(EBUSY));  // one receive at a time
        } else {
            self->receive_ = PendingReceive{minimum, maximum, std::move(completion)};
        }
    });
}

void MdnsBrowsedConnection::cancel() {
    gate_.close();
    asio::post(executor_, [self = shared_from_this()] {
        if (self->cancelled_) {
            return;
        }
        self->cancelled_ = true;
        ++self->attempt_;
        self->retryTimer_.cancel();
        self->nextAddressTimer_.cancel();
        if (self->resolver_) {
            self->resolver_->cancel();
            self->resolver_.reset();
        }
        if (auto connection = self->dialled()) {
            connection->cancel();  // graceful: what was handed over is still written
        }
        self->sends_.clear();
        self->receive_.reset();
        std::lock_guard lock(self->mutex_);
        self->state_ = {TransportState::Kind::cancelled, {}};
    });
}

TransportState MdnsBrowsedConnection::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

std::optional<NetworkPath> MdnsBrowsedConnection::currentPath() const {
    // The current attempt knows its path from ready on and keeps it once it failed, so that
    // an owner handling the failure can still tell what the connection ran over.
    auto connection = dialled();
    return connection ? connection->currentPath() : std::nullopt;
}

PendingTransferReport MdnsBrowsedConnection::startDataTransferReport() {
    return PendingTransferReport(weak_from_this(), executor_, std::chrono::steady_clock::now(),
                                 readTransferCounters());
}

std::optional<NetworkInterface> MdnsBrowsedConnection::pathInterface() const {
    if (auto connection = dialled()) {
        return connection->pathInterface();
    }
    return parameters_.requiredInterface;
}

std::optional<TransferCounters> MdnsBrowsedConnection::readTransferCounters() const {
    auto connection = dialled();
    return connection ? connection->readTransferCounters() : std::nullopt;
}

}  // namespace sorvanta
