#pragma once

#include <memory>
#include <string>

#include "platform/net/network_interface.h"

namespace sorvanta {

class MdnsKnownRecords;

// A service instance as seen by a browser on one interface: what a connection needs to
// resolve it there.
struct DnssdEndpoint {
    std::string instanceName;
    std::string serviceType = "_sorvanta._tcp";
    std::string domain = "local";
    NetworkInterface interface;
    // What the browser that found the instance keeps hearing on that interface, so that a
    // resolution starts from the records that came with the browse answer. Absent for an
    // endpoint made by hand; not part of the endpoint's value.
    std::shared_ptr<const MdnsKnownRecords> known;

    // Deterministic and unique per instance and interface: the instance's full name
    // (dots and backslashes in the instance name escaped) and the interface, e.g.
    // "Desk Mac._sorvanta._tcp.local.%eth0".
    std::string text() const;

    bool operator==(const DnssdEndpoint& other) const {
        return instanceName == other.instanceName && serviceType == other.serviceType &&
               domain == other.domain && interface == other.interface;
    }
};

}  // namespace sorvanta
