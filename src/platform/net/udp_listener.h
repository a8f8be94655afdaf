#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/net/transport_state.h"
#include "platform/net/udp_connection.h"

namespace sorvanta {

// Receives UDP datagrams on a port the system chooses (or a given one), bound to the required
// interface when the parameters pin one, and reports each new remote flow once, as a
// UdpConnection not yet started whose first receive is the datagram that created the flow.
// States as for TcpListener. Handlers are posted, never run inside start() or cancel(); none
// runs after cancel().
class UdpListener {
  public:
    using StateHandler = std::function<void(const ListenerState&)>;
    using FlowHandler = std::function<void(std::shared_ptr<UdpConnection>)>;

    virtual ~UdpListener() = default;

    virtual void setStateHandler(StateHandler handler) = 0;
    virtual void setNewFlowHandler(FlowHandler handler) = 0;

    virtual void start() = 0;
    virtual void cancel() = 0;

    virtual ListenerState state() const = 0;
    // The port while ready, else 0.
    virtual std::uint16_t port() const = 0;
};

}  // namespace sorvanta
