#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/net/tcp_connection.h"
#include "platform/net/transport_state.h"

namespace sorvanta {

// Accepts TCP connections on a port the system chooses (or a given one), on both IPv4 and
// IPv6, bound to the required interface when the parameters pin one. States: ready(port);
// waiting(error) while the pinned interface is missing (retried every second); failed(error).
// Each accepted connection is handed over not yet started: the owner sets its handlers and
// starts it, or cancels it. Handlers are posted, never run inside start() or cancel(); none
// runs after cancel(), and `cancelled` is never delivered.
class TcpListener {
  public:
    using StateHandler = std::function<void(const ListenerState&)>;
    using ConnectionHandler = std::function<void(std::shared_ptr<TcpConnection>)>;

    virtual ~TcpListener() = default;

    virtual void setStateHandler(StateHandler handler) = 0;
    virtual void setNewConnectionHandler(ConnectionHandler handler) = 0;

    virtual void start() = 0;
    virtual void cancel() = 0;

    virtual ListenerState state() const = 0;
    // The port while ready, else 0.
    virtual std::uint16_t port() const = 0;
};

}  // namespace sorvanta
