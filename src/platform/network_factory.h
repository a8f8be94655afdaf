#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/dnssd/advertised_listener.h"
#include "platform/dnssd/dnssd_browser.h"
#include "platform/dnssd/dnssd_endpoint.h"
#include "platform/net/network_endpoint.h"
#include "platform/net/network_executor.h"
#include "platform/net/network_parameters.h"
#include "platform/net/path_monitor.h"
#include "platform/net/precise_timer.h"
#include "platform/net/tcp_connection.h"
#include "platform/net/tcp_listener.h"
#include "platform/net/udp_connection.h"
#include "platform/net/udp_listener.h"

namespace sorvanta {

// Makes every network object the service, the engines and the sequencer use, so that they
// never name a kernel-backed class and tests can hand them fakes. Objects come back not yet
// started, running on the executor given.
class NetworkFactory {
  public:
    virtual ~NetworkFactory() = default;

    virtual std::shared_ptr<TcpConnection> makeTcpConnection(NetworkExecutor executor,
                                                             Endpoint remote,
                                                             NetworkParameters parameters) = 0;
    // A connection to a browsed service; resolving the endpoint is part of its preparing
    // phase, and a failed resolution is waiting(error), retried like a refused connect.
    virtual std::shared_ptr<TcpConnection> makeBrowsedConnection(NetworkExecutor executor,
                                                                 const DnssdEndpoint& endpoint,
                                                                 NetworkParameters parameters) = 0;
    // `port` 0: a port the system chooses.
    virtual std::shared_ptr<TcpListener> makeTcpListener(NetworkExecutor executor,
                                                         NetworkParameters parameters,
                                                         std::uint16_t port) = 0;
    virtual std::shared_ptr<AdvertisedListener> makeAdvertisedListener(
        NetworkExecutor executor, NetworkParameters parameters,
        AdvertisedListener::Service service) = 0;
    virtual std::shared_ptr<UdpConnection> makeUdpConnection(NetworkExecutor executor,
                                                             Endpoint remote,
                                                             NetworkParameters parameters) = 0;
    virtual std::shared_ptr<UdpListener> makeUdpListener(NetworkExecutor executor,
                                                         NetworkParameters parameters,
                                                         std::uint16_t port) = 0;
    // Absent type: interfaces of every type.
    virtual std::shared_ptr<PathMonitor> makePathMonitor(
        NetworkExecutor executor, std::optional<InterfaceType> requiredType) = 0;
    virtual std::shared_ptr<DnssdBrowser> makeBrowser(NetworkExecutor executor,
                                                      DnssdBrowser::Options options) = 0;
    // The tick runs on the timer's own thread (see precise_timer.h).
    virtual std::shared_ptr<PreciseTimer> makePreciseTimer(std::chrono::nanoseconds period,
                                                           std::function<void()> tick) = 0;
};

}  // namespace sorvanta
