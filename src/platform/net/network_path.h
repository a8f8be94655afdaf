#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/net/network_endpoint.h"
#include "platform/net/network_interface.h"

namespace sorvanta {

// Whether a path can carry traffic. requiresConnection never occurs on Linux.
enum class PathStatus { satisfied, unsatisfied, requiresConnection };

// Why a path is unsatisfied. localNetworkDenied has no source on Linux and is never reported
// by this layer; it exists so callers and tests can handle it like any other reason.
enum class UnsatisfiedReason { notAvailable, localNetworkDenied };

std::string_view pathStatusName(PathStatus status);           // "satisfied", …
std::string_view unsatisfiedReasonName(UnsatisfiedReason r);  // "notAvailable", …

// What the system knows about the route a connection, listener or monitor uses.
struct NetworkPath {
    PathStatus status = PathStatus::unsatisfied;
    std::optional<UnsatisfiedReason> unsatisfiedReason = UnsatisfiedReason::notAvailable;
    std::vector<NetworkInterface> availableInterfaces;
    // Routers on the way to the peer or on the path's interfaces; empty on a direct link.
    std::vector<asio::ip::address> gateways;
    std::optional<Endpoint> localEndpoint;
    std::optional<Endpoint> remoteEndpoint;

    bool usesInterfaceType(InterfaceType type) const;

    // "satisfied", "unsatisfied (notAvailable)", …
    std::string statusText() const;

    bool operator==(const NetworkPath&) const = default;
};

}  // namespace sorvanta
