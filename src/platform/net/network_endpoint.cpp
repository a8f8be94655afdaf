#include "platform/net/network_endpoint.h"

#include <net/if.h>

namespace sorvanta {

asio::ip::address unmapped(const asio::ip::address& address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    }
    return address;
}

std::string addressText(const asio::ip::address& address) {
    if (!address.is_v6() || address.to_v6().scope_id() == 0) {
        return address.to_string();
    }
    asio::ip::address_v6 bare = address.to_v6();
    const unsigned long scope = bare.scope_id();
    bare.scope_id(0);
    char name[IF_NAMESIZE] = {};
    if (::if_indextoname(static_cast<unsigned>(scope), name) != nullptr) {
        return bare.to_string() + "%" + name;
    }
    return bare.to_string() + "%" + std::to_string(scope);
}

Endpoint Endpoint::from(const asio::ip::tcp::endpoint& endpoint) {
    return {unmapped(endpoint.address()), endpoint.port()};
}

Endpoint Endpoint::from(const asio::ip::udp::endpoint& endpoint) {
    return {unmapped(endpoint.address()), endpoint.port()};
}

std::string Endpoint::text() const {
    std::string result;
    const bool bracketed = host.is_v6();
    if (bracketed) {
        result += '[';
    }
    result += addressText(host);
    if (bracketed) {
        result += ']';
    }
    result += ':';
    result += std::to_string(port);
    return result;
}

}  // namespace sorvanta
