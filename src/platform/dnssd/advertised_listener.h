#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/dnssd/dnssd_registration_change.h"
#include "platform/net/tcp_connection.h"
#include "platform/net/transport_state.h"

namespace sorvanta {

// A TCP listener together with its DNS-SD registration, as one object with one state, on the
// owner's serial executor (see network_executor.h). It listens on a port the system chooses
// and advertises the service on that port, on the pinned interface of its parameters (or on
// every wired interface when none is pinned).
//
// ready(port) only when both the listener is ready and the service is registered (its name
// claimed on the link); waiting(error) while either cannot start yet (no usable interface,
// the pinned one missing) and retries by itself; failed(error) when either cannot start at all (for
// one, the mDNS port cannot be bound). Renames after a name conflict are reported as registration
// changes. Accepted connections are handed over not yet started, as by TcpListener. Handlers are
// posted, never run inside start() or cancel(); none runs after cancel(), which also says
// goodbye for the service.
class AdvertisedListener {
  public:
    struct Service {
        std::string instanceName;
        std::string serviceType = "_sorvanta._tcp";
        std::vector<std::pair<std::string, std::string>> txt;

        bool operator==(const Service&) const = default;
    };
    using StateHandler = std::function<void(const ListenerState&)>;
    using ConnectionHandler = std::function<void(std::shared_ptr<TcpConnection>)>;
    using RegistrationHandler = std::function<void(const DnssdRegistrationChange&)>;

    virtual ~AdvertisedListener() = default;

    // Handlers are set before start().
    virtual void setStateHandler(StateHandler handler) = 0;
    virtual void setNewConnectionHandler(ConnectionHandler handler) = 0;
    virtual void setRegistrationHandler(RegistrationHandler handler) = 0;

    virtual void start() = 0;
    virtual void cancel() = 0;

    virtual ListenerState state() const = 0;
    // The port while ready, else 0.
    virtual std::uint16_t port() const = 0;
};

}  // namespace sorvanta
