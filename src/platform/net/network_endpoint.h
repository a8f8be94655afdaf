#pragma once

#include <asio/ip/address.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ip/udp.hpp>
#include <cstdint>
#include <string>

namespace sorvanta {

// A host and port. IPv4-mapped IPv6 addresses are read as IPv4; an IPv6 link-local address
// keeps its scope (the interface index), without which it cannot be reached.
struct Endpoint {
    asio::ip::address host;
    std::uint16_t port = 0;

    static Endpoint from(const asio::ip::tcp::endpoint& endpoint);
    static Endpoint from(const asio::ip::udp::endpoint& endpoint);

    asio::ip::tcp::endpoint tcp() const { return {host, port}; }
    asio::ip::udp::endpoint udp() const { return {host, port}; }

    // "169.254.1.2:5000", or "[fe80::2%eth0]:5000" with the scope as interface name.
    std::string text() const;

    bool operator==(const Endpoint&) const = default;
};

// The address with an IPv4-mapped IPv6 form turned into IPv4.
asio::ip::address unmapped(const asio::ip::address& address);

// The address as text; a scoped IPv6 address carries its scope as "%name" (or "%index" when
// the interface no longer exists).
std::string addressText(const asio::ip::address& address);

}  // namespace sorvanta
