#pragma once

#include <string>

#include "platform/net/network_interface.h"

namespace sorvanta {

// A service instance as seen by a browser on one interface: what a connection needs to
// resolve it there.
struct DnssdEndpoint {
    std::string instanceName;
    std::string serviceType = "_sorvanta._tcp";
    std::string domain = "local";
    NetworkInterface interface;

    // Deterministic and unique per instance and interface: the instance's full name
    // (dots and backslashes in the instance name escaped) and the interface, e.g.
    // "Desk Mac._sorvanta._tcp.local.%eth0".
    std::string text() const;

    bool operator==(const DnssdEndpoint&) const = default;
};

}  // namespace sorvanta
