#pragma once

#include <asio/ip/udp.hpp>
#include <asio/steady_timer.hpp>
#include <functional>
#include <map>
#include <memory>

#include "platform/net/listener_state_keeper.h"
#include "platform/net/network_executor.h"
#include "platform/net/network_parameters.h"
#include "platform/net/socket_udp_connection.h"
#include "platform/net/transport_state.h"
#include "platform/net/udp_listener.h"

namespace sorvanta {

// Receives UDP datagrams on a port the system chooses (or a given one), bound to the required
// interface when the parameters pin one, and reports each new remote flow once, as a
// SocketUdpConnection not yet started whose first receive is the datagram that created the flow.
// Started, the flow gets a socket of its own on the same port, connected to the peer; until
// then (and while this listener lives) later datagrams of the flow are handed on to it. A flow
// that is never started is dropped when this listener ends. States as for TcpListener. No
// handler runs after cancel().
class SocketUdpListener final : public UdpListener,
                                public std::enable_shared_from_this<SocketUdpListener> {
  public:
    // Flows beyond this many are not reported; their datagrams are dropped.
    static constexpr std::size_t maximumFlows = 256;
    // Datagrams kept for a flow that has not taken them yet; later ones are dropped.
    static constexpr std::size_t maximumBacklog = 1024;

    static std::shared_ptr<SocketUdpListener> create(NetworkExecutor executor,
                                                     NetworkParameters parameters,
                                                     std::uint16_t port = 0);

    void setStateHandler(StateHandler handler) override { state_.setHandler(std::move(handler)); }
    void setNewFlowHandler(FlowHandler handler) override { flowHandler_ = std::move(handler); }

    void start() override;
    void cancel() override;

    ListenerState state() const override { return state_.current(); }
    // The port while ready, else 0.
    std::uint16_t port() const override { return state_.port(); }

  private:
    SocketUdpListener(NetworkExecutor executor, NetworkParameters parameters, std::uint16_t port);
    void attempt();
    void wait(PlatformError error);
    void receive();

    NetworkExecutor executor_;
    asio::ip::udp::socket socket_;
    asio::steady_timer retryTimer_;
    NetworkParameters parameters_;
    std::uint16_t requestedPort_;
    HandlerGate gate_;
    bool cancelled_ = false;
    FlowHandler flowHandler_;
    ListenerStateKeeper state_;
    std::map<asio::ip::udp::endpoint, std::weak_ptr<SocketUdpConnection>> flows_;
    std::vector<std::uint8_t> buffer_;
};

}  // namespace sorvanta
