#pragma once

#include <asio/error_code.hpp>
#include <asio/ip/v6_only.hpp>
#include <cstdint>

namespace sorvanta {

// Opens a listening socket or acceptor for `port`: dual stack where IPv6 exists, IPv4 alone
// otherwise. Returns the endpoint to bind; `error` tells whether opening worked.
template <class Socket>
typename Socket::endpoint_type openDualStack(Socket& socket, std::uint16_t port,
                                             asio::error_code& error) {
    using Protocol = typename Socket::protocol_type;
    using Endpoint = typename Socket::endpoint_type;
    Endpoint local(Protocol::v6(), port);
    socket.open(local.protocol(), error);
    if (error) {
        local = Endpoint(Protocol::v4(), port);
        socket.open(local.protocol(), error);
    } else {
        socket.set_option(asio::ip::v6_only(false), error);
    }
    return local;
}

}  // namespace sorvanta
