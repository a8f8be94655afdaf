#pragma once

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <functional>
#include <memory>

#include "platform/net/listener_state_keeper.h"
#include "platform/net/network_executor.h"
#include "platform/net/network_parameters.h"
#include "platform/net/tcp_connection.h"
#include "platform/net/transport_state.h"

namespace sorvanta {

// Accepts TCP connections on a port the system chooses (or a given one), on both IPv4 and
// IPv6, bound to the required interface when the parameters pin one. States: ready(port);
// waiting(error) while the pinned interface is missing (retried every second); failed(error).
// Each accepted connection is handed over not yet started: the owner sets its handlers and
// starts it, or cancels it. No handler runs after cancel().
class TcpListener : public std::enable_shared_from_this<TcpListener> {
  public:
    using StateHandler = ListenerStateKeeper::Handler;
    using ConnectionHandler = std::function<void(std::shared_ptr<TcpConnection>)>;

    static std::shared_ptr<TcpListener> create(NetworkExecutor executor,
                                               NetworkParameters parameters,
                                               std::uint16_t port = 0);

    void setStateHandler(StateHandler handler) { state_.setHandler(std::move(handler)); }
    void setNewConnectionHandler(ConnectionHandler handler) {
        connectionHandler_ = std::move(handler);
    }

    void start();
    void cancel();

    ListenerState state() const { return state_.current(); }
    // The port while ready, else 0.
    std::uint16_t port() const { return state_.port(); }

  private:
    TcpListener(NetworkExecutor executor, NetworkParameters parameters, std::uint16_t port);
    void attempt();
    void accept();
    void wait(PlatformError error);

    NetworkExecutor executor_;
    asio::ip::tcp::acceptor acceptor_;
    asio::steady_timer retryTimer_;
    NetworkParameters parameters_;
    std::uint16_t requestedPort_;
    HandlerGate gate_;
    bool cancelled_ = false;
    ConnectionHandler connectionHandler_;
    ListenerStateKeeper state_;
};

}  // namespace sorvanta
