#include "platform/dnssd/dnssd_connection.h"

#include "platform/net/socket_tcp_connection.h"

namespace sorvanta {

std::shared_ptr<DnssdResolver> makeBrowsedConnection(NetworkExecutor executor,
                                                     const DnssdEndpoint& endpoint,
                                                     NetworkParameters parameters,
                                                     BrowsedConnectionHandler handler,
                                                     std::chrono::milliseconds timeout) {
    auto resolver = DnssdResolver::create(executor, endpoint, timeout);
    resolver->start([executor, parameters = std::move(parameters), handler = std::move(handler)](
                        const std::vector<asio::ip::tcp::endpoint>& addresses,
                        std::optional<PlatformError> error) {
        if (error || addresses.empty()) {
            handler(nullptr, error.value_or(PlatformError::posix(EHOSTUNREACH)));
            return;
        }
        handler(
            SocketTcpConnection::create(executor, Endpoint::from(addresses.front()), parameters),
            std::nullopt);
    });
    return resolver;
}

}  // namespace sorvanta
