#pragma once

#include "platform/network_factory.h"

namespace sorvanta {

// The NetworkFactory of the running program: kernel sockets, rtnetlink, multicast DNS and
// timer threads.
class SystemNetworkFactory final : public NetworkFactory {
  public:
    std::shared_ptr<TcpConnection> makeTcpConnection(NetworkExecutor executor, Endpoint remote,
                                                     NetworkParameters parameters) override;
    std::shared_ptr<TcpConnection> makeBrowsedConnection(NetworkExecutor executor,
                                                         const DnssdEndpoint& endpoint,
                                                         NetworkParameters parameters) override;
    std::shared_ptr<TcpListener> makeTcpListener(NetworkExecutor executor,
                                                 NetworkParameters parameters,
                                                 std::uint16_t port) override;
    std::shared_ptr<AdvertisedListener> makeAdvertisedListener(
        NetworkExecutor executor, NetworkParameters parameters,
        AdvertisedListener::Service service) override;
    std::shared_ptr<UdpConnection> makeUdpConnection(NetworkExecutor executor, Endpoint remote,
                                                     NetworkParameters parameters) override;
    std::shared_ptr<UdpListener> makeUdpListener(NetworkExecutor executor,
                                                 NetworkParameters parameters,
                                                 std::uint16_t port) override;
    std::shared_ptr<PathMonitor> makePathMonitor(
        NetworkExecutor executor, std::optional<InterfaceType> requiredType) override;
    std::shared_ptr<DnssdBrowser> makeBrowser(NetworkExecutor executor,
                                              DnssdBrowser::Options options) override;
    std::shared_ptr<PreciseTimer> makePreciseTimer(std::chrono::nanoseconds period,
                                                   std::function<void()> tick) override;
};

}  // namespace sorvanta
