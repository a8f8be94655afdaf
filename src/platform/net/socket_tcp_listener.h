#pragma once

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <functional>
#include <memory>

#include "platform/net/listener_state_keeper.h"
#include "platform/net/network_executor.h"
#include "platform/net/network_parameters.h"
#include "platform/net/socket_tcp_connection.h"
#include "platform/net/tcp_listener.h"
#include "platform/net/transport_state.h"

namespace sorvanta {

// The TcpListener of this system, on a dual-stack kernel socket (see tcp_listener.h).
class SocketTcpListener final : public TcpListener,
                                public std::enable_shared_from_this<SocketTcpListener> {
  public:
    static std::shared_ptr<SocketTcpListener> create(NetworkExecutor executor,
                                                     NetworkParameters parameters,
                                                     std::uint16_t port = 0);

    void setStateHandler(StateHandler handler) override { state_.setHandler(std::move(handler)); }
    void setNewConnectionHandler(ConnectionHandler handler) override {
        connectionHandler_ = std::move(handler);
    }

    void start() override;
    void cancel() override;

    ListenerState state() const override { return state_.current(); }
    // The port while ready, else 0.
    std::uint16_t port() const override { return state_.port(); }

  private:
    SocketTcpListener(NetworkExecutor executor, NetworkParameters parameters, std::uint16_t port);
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
