#include "platform/tcp_listener.h"

#include <asio/dispatch.hpp>
#include <asio/ip/v6_only.hpp>
#include <cerrno>

#include "platform/socket_support.h"

namespace sorvanta {

namespace {

constexpr auto retryDelay = std::chrono::seconds(1);

bool transientAcceptError(const asio::error_code& error) {
    const int code = error.value();
    return error.category() == asio::system_category() &&
           (code == ECONNABORTED || code == EMFILE || code == ENFILE || code == ENOBUFS ||
            code == ENOMEM || code == EPROTO || code == EPERM);
}

}  // namespace

std::shared_ptr<TcpListener> TcpListener::create(NetworkExecutor executor,
                                                 NetworkParameters parameters, std::uint16_t port) {
    return std::shared_ptr<TcpListener>(
        new TcpListener(std::move(executor), std::move(parameters), port));
}

TcpListener::TcpListener(NetworkExecutor executor, NetworkParameters parameters, std::uint16_t port)
    : executor_(executor),
      acceptor_(executor),
      retryTimer_(executor),
      parameters_(std::move(parameters)),
      requestedPort_(port) {}

void TcpListener::start() {
    asio::dispatch(executor_, [self = shared_from_this()] { self->attempt(); });
}

void TcpListener::cancel() {
    gate_.close();
    asio::dispatch(executor_, [self = shared_from_this()] {
        self->cancelled_ = true;
        self->retryTimer_.cancel();
        asio::error_code ignored;
        self->acceptor_.close(ignored);
        std::lock_guard lock(self->stateMutex_);
        self->state_ = {ListenerState::Kind::cancelled, {}, 0};
    });
}

ListenerState TcpListener::state() const {
    std::lock_guard lock(stateMutex_);
    return state_;
}

void TcpListener::setState(const ListenerState& state) {
    {
        std::lock_guard lock(stateMutex_);
        if (state_ == state) {
            return;
        }
        state_ = state;
    }
    if (gate_.isOpen() && stateHandler_) {
        stateHandler_(state);
    }
}

void TcpListener::wait(PlatformError error) {
    asio::error_code ignored;
    acceptor_.close(ignored);
    setState({ListenerState::Kind::waiting, error, 0});
    if (cancelled_) {
        return;
    }
    retryTimer_.expires_after(retryDelay);
    retryTimer_.async_wait([weak = weak_from_this()](const asio::error_code& e) {
        if (auto self = weak.lock(); self && !e) {
            self->attempt();
        }
    });
}

void TcpListener::attempt() {
    if (cancelled_ || acceptor_.is_open()) {
        return;
    }
    if (parameters_.requiredInterface) {
        const auto& pinned = *parameters_.requiredInterface;
        const auto present = findInterface(pinned.index);
        if (!present || present->interface.name != pinned.name ||
            !parameters_.permits(present->interface)) {
            wait(PlatformError::posix(ENODEV));
            return;
        }
    }
    asio::error_code error;
    // Dual stack where IPv6 exists, IPv4 alone otherwise.
    asio::ip::tcp::endpoint local(asio::ip::tcp::v6(), requestedPort_);
    acceptor_.open(local.protocol(), error);
    if (error) {
        local = asio::ip::tcp::endpoint(asio::ip::tcp::v4(), requestedPort_);
        acceptor_.open(local.protocol(), error);
    } else {
        acceptor_.set_option(asio::ip::v6_only(false), error);
    }
    if (!error) {
        acceptor_.set_option(asio::ip::tcp::acceptor::reuse_address(true), error);
    }
    if (!error && parameters_.requiredInterface) {
        if (auto refused =
                bindToDevice(acceptor_.native_handle(), parameters_.requiredInterface->name)) {
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
        setState({ListenerState::Kind::failed, platformError(error), 0});
        return;
    }
    const auto port = acceptor_.local_endpoint(error).port();
    setState({ListenerState::Kind::ready, {}, port});
    accept();
}

void TcpListener::accept() {
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
                    self->setState({ListenerState::Kind::failed, platformError(error), 0});
                }
                return;
            }
            auto connection =
                TcpConnection::adoptAccepted(self->executor_, std::move(socket), self->parameters_);
            if (self->connectionHandler_) {
                self->connectionHandler_(std::move(connection));
            } else {
                connection->cancel();
            }
            self->accept();
        });
}

}  // namespace sorvanta
