#pragma once

#include <chrono>
#include <optional>
#include <vector>

#include "platform/net/network_interface.h"

namespace sorvanta {

// How a connection or listener may reach the network. With a required interface the socket is
// bound to that device (SO_BINDTODEVICE) and nothing else can carry its traffic; the type
// rules then decide whether that interface may be used at all.
struct NetworkParameters {
    enum class Transport { tcp, udp };

    Transport transport = Transport::tcp;
    std::optional<NetworkInterface> requiredInterface;
    std::optional<InterfaceType> requiredInterfaceType;
    std::vector<InterfaceType> prohibitedInterfaceTypes;
    // Kept for callers that state it; Linux has no peer-to-peer links to include.
    bool includePeerToPeer = false;

    // How a TCP connection notices a peer that went silent without closing: once nothing has
    // arrived for `keepaliveIdle` it sends a probe every `keepaliveInterval`, and it fails
    // with ETIMEDOUT once its probes or its sent bytes have gone unacknowledged for
    // `connectionDropTime`. Absent: the system's defaults, under which a silent peer goes
    // unnoticed while nothing is sent and data is retried for many minutes.
    struct Liveness {
        std::chrono::seconds keepaliveIdle{0};
        std::chrono::seconds keepaliveInterval{0};
        std::chrono::seconds connectionDropTime{0};

        bool operator==(const Liveness&) const = default;
    };
    std::optional<Liveness> liveness;

    static NetworkParameters tcp() { return {}; }
    static NetworkParameters udp() {
        NetworkParameters parameters;
        parameters.transport = Transport::udp;
        return parameters;
    }

    // Whether these parameters allow traffic over the interface: the required interface (same
    // name and index) when one is set, an allowed type in every case.
    bool permits(const NetworkInterface& interface) const;

    bool operator==(const NetworkParameters&) const = default;
};

}  // namespace sorvanta
