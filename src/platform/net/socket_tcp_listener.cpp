#include "platform/net/socket_tcp_listener.h"

#include <asio/post.hpp>
#include <cerrno>

#include "platform/net/dual_stack_socket.h"
#include "platform/net/pinned_interface.h"
#include "platform/net/retry_schedule.h"
#include "platform/net/socket_support.h"

namespace sorvanta {

namespace {

bool transientAcceptError(const asio::error_code& error) {
    const int code = error.value();
    return error.category() == asio::system_category() &&
           (code == ECONNABORTED || code == EMFILE || code == ENFILE || code == ENOBUFS ||
            code == ENOMEM || code == EPROTO || code == EPERM);
}

}  // namespace

std::shared_ptr<SocketTcpListener> SocketTcpListener::create(NetworkExecutor executor,
                                                             NetworkParameters parameters,
                                                             std::uint16_t port) {
    return std::shared_ptr<SocketTcpListener>(
        new SocketTcpListener(std::move(executor), std::move(parameters), port));
}

SocketTcpListener::SocketTcpListener(NetworkExecutor executor, NetworkParameters parameters,
                                     std::uint16_t port)
    : executor_(executor),
      acceptor_(executor),
      retryTimer_(executor),
      parameters_(std::move(parameters)),
      requestedPort_(port) {}

void SocketTcpListener::start() {
    asio::post(executor_, [self = shared_from_this()] { self->attempt(); });
}

void SocketTcpListener::cancel() {
    gate_.close();
    asio::post(executor_, [self = shared_from_this()] {
        self->cancelled_ = true;
        self->retryTimer_.cancel();
        asio::error_code ignored;
        self->acceptor_.close(ignored);
        self->state_.markCancelled();
    });
}

void SocketTcpListener::wait(PlatformError error) {
    asio::error_code ignored;
    acceptor_.close(ignored);
    state_.update({ListenerState::Kind::waiting, error, 0}, gate_);
    if (cancelled_) {
        return;
    }
    scheduleRetry(retryTimer_, weak_from_this(), &SocketTcpListener::attempt);
}

void SocketTcpListener::attempt() {
    if (cancelled_ || acceptor_.is_open()) {
        return;
    }
    if (auto missing = pinnedInterfaceMissing(parameters_)) {
        wait(*missing);
        return;
    }
    asio::error_code error;
    const auto local = openDualStack(acceptor_, requestedPort_, error);
    if (!error) {
        acceptor_.set_option(asio::ip::tcp::acceptor::reuse_address(true), error);
    }
    if (!error) {
        if (auto refused = bindToPinnedInterface(acceptor_.native_handle(), parameters_)) {
            error = asio::error_code(refused->code, asio::system_category());
        }
    }
    if (!error) {
        acceptor_.bind(local, error);
    }
    if (!error) {
        acceptor_.listen(asio::socket_base::max_listen_connections, error);
    }
    if (error) {
        asio::error_code ignored;
        acceptor_.close(ignored);
        state_.update({ListenerState::Kind::failed, platformError(error), 0}, gate_);
        return;
    }
    const auto port = acceptor_.local_endpoint(error).port();
    state_.update({ListenerState::Kind::ready, {}, port}, gate_);
    accept();
}

void SocketTcpListener::accept() {
    acceptor_.async_accept(
        [self = shared_from_this()](const asio::error_code& error, asio::ip::tcp::socket socket) {
            if (self->cancelled_ || !self->gate_.isOpen()) {
                return;
            }
            if (error) {
                if (transientAcceptError(error)) {
                    self->accept();
                } else {
                    asio::error_code ignored;
                    self->acceptor_.close(ignored);
                    self->state_.update({ListenerState::Kind::failed, platformError(error), 0},
                                        self->gate_);
                }
                return;
            }
            auto connection = SocketTcpConnection::adoptAccepted(self->executor_, std::move(socket),
                                                                 self->parameters_);
            if (self->connectionHandler_) {
                self->connectionHandler_(std::move(connection));
            } else {
                connection->cancel();
            }
            self->accept();
        });
}

}  // namespace sorvanta
