#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "platform/dnssd/dnssd_endpoint.h"
#include "platform/dnssd/dnssd_resolver.h"
#include "platform/net/network_executor.h"
#include "platform/net/network_parameters.h"
#include "platform/net/tcp_connection.h"
#include "support/platform_error.h"

namespace sorvanta {

// Receives the connection to a browsed service, created but not started (the owner sets its
// handlers and starts it), or the error that kept it from being made.
using BrowsedConnectionHandler =
    std::function<void(std::shared_ptr<TcpConnection> connection, std::optional<PlatformError>)>;

// Makes a TCP connection to a browsed service: resolves the endpoint on the interface it was
// seen on and creates the connection, with the given parameters, to its first address (IPv6
// link-local with the interface as scope when the host has one, else IPv4). The handler runs
// once on the executor, unless the returned resolution is cancelled first.
std::shared_ptr<DnssdResolver> makeBrowsedConnection(
    NetworkExecutor executor, const DnssdEndpoint& endpoint, NetworkParameters parameters,
    BrowsedConnectionHandler handler, std::chrono::milliseconds timeout = std::chrono::seconds(5));

}  // namespace sorvanta
