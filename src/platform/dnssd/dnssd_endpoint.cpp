#include "platform/dnssd/dnssd_endpoint.h"

#include "platform/dnssd/mdns_message.h"

namespace sorvanta {

std::string DnssdEndpoint::text() const {
    const MdnsName name = MdnsName::fromText(serviceType + "." + domain).prefixed(instanceName);
    return name.text() + "%" + interface.name;
}

}  // namespace sorvanta
