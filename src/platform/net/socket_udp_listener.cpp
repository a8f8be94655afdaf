#include "platform/net/socket_udp_listener.h"

#include <sys/socket.h>

#include <asio/post.hpp>
#include <cerrno>

#include "platform/net/dual_stack_socket.h"
#include "platform/net/pinned_interface.h"
#include "platform/net/retry_schedule.h"
#include "platform/net/socket_support.h"

namespace sorvanta {

namespace {}  // namespace

std::shared_ptr<SocketUdpListener> SocketUdpListener::create(NetworkExecutor executor,
                                                             NetworkParameters parameters,
                                                             std::uint16_t port) {
    return std::shared_ptr<SocketUdpListener>(
        new SocketUdpListener(std::move(executor), std::move(parameters), port));
}

SocketUdpListener::SocketUdpListener(NetworkExecutor executor, NetworkParameters parameters,
                                     std::uint16_t port)
    : executor_(executor),
      socket_(executor),
      retryTimer_(executor),
      parameters_(std::move(parameters)),
      requestedPort_(port),
      buffer_(65536) {
    parameters_.transport = NetworkParameters::Transport::udp;
}

void SocketUdpListener::start() {
    asio::post(executor_, [self = shared_from_this()] { self->attempt(); });
}

void SocketUdpListener::cancel() {
    gate_.close();
    asio::post(executor_, [self = shared_from_this()] {
        self->cancelled_ = true;
        self->retryTimer_.cancel();
        asio::error_code ignored;
        self->socket_.close(ignored);
        self->flows_.clear();
        self->state_.markCancelled();
    });
}

void SocketUdpListener::wait(PlatformError error) {
    asio::error_code ignored;
    socket_.close(ignored);
    state_.update({ListenerState::Kind::waiting, error, 0}, gate_);
    if (cancelled_) {
        return;
    }
    scheduleRetry(retryTimer_, weak_from_this(), &SocketUdpListener::attempt);
}

void SocketUdpListener::attempt() {
    if (cancelled_ || socket_.is_open()) {
        return;
    }
    if (auto missing = pinnedInterfaceMissing(parameters_)) {
        wait(*missing);
        return;
    }
    asio::error_code error;
    const auto local = openDualStack(socket_, requestedPort_, error);
    const int on = 1;
    if (!error) {
        // Flows that are adopted bind this port too, connected to their peer.
        socket_.set_option(asio::socket_base::reuse_address(true), error);
        ::setsockopt(socket_.native_handle(), SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
    }
    if (!error) {
        if (auto refused = bindToPinnedInterface(socket_.native_handle(), parameters_)) {
            error = asio::error_code(refused->code, asio::system_category());
        }
    }
    if (!error) {
        askLargeBuffers(socket_.native_handle(), SocketUdpConnection::requestedBufferBytes);
        socket_.bind(local, error);
    }
    if (error) {
        asio::error_code ignored;
        socket_.close(ignored);
        state_.update({ListenerState::Kind::failed, platformError(error), 0}, gate_);
        return;
    }
    state_.update({ListenerState::Kind::ready, {}, socket_.local_endpoint(error).port()}, gate_);
    receive();
}

void SocketUdpListener::receive() {
    auto sender = std::make_shared<asio::ip::udp::endpoint>();
    socket_.async_receive_from(
        asio::buffer(buffer_), *sender,
        [self = shared_from_this(), sender](const asio::error_code& error, std::size_t bytes) {
            if (self->cancelled_ || !self->gate_.isOpen()) {
                return;
            }
            if (error) {
                if (error == asio::error::operation_aborted) {
                    return;
                }
                // ICMP errors of earlier traffic and the like: keep listening.
                self->receive();
                return;
            }
            const auto arrival = SocketUdpConnection::Clock::now();
            SocketUdpConnection::Bytes content(self->buffer_.begin(),
                                               self->buffer_.begin() + bytes);
            const auto known = self->flows_.find(*sender);
            if (known != self->flows_.end()) {
                if (auto flow = known->second.lock()) {
                    {
                        std::lock_guard lock(flow->mutex_);
                        if (!flow->cancelled_ && flow->backlog_.size() < maximumBacklog) {
                            flow->backlog_.push_back({std::move(content), arrival});
                        }
                    }
                    asio::post(flow->executor_, [flow] { flow->armRead(); });
                }
            } else if (self->flows_.size() < maximumFlows) {
                const Endpoint remote = Endpoint::from(*sender);
                auto flow = SocketUdpConnection::create(self->executor_, remote, self->parameters_);
                asio::error_code ignored;
                flow->sharedPort_ = self->socket_.local_endpoint(ignored).port();
                flow->backlog_.push_back({std::move(content), arrival});
                self->flows_[*sender] = flow;
                if (self->flowHandler_) {
                    self->flowHandler_(flow);
                } else {
                    flow->cancel();
                }
            }
            self->receive();
        });
}

}  // namespace sorvanta
