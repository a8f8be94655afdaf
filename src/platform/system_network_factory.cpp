#include "platform/system_network_factory.h"

#include "platform/dnssd/mdns_advertised_listener.h"
#include "platform/dnssd/mdns_browsed_connection.h"
#include "platform/dnssd/mdns_dnssd_browser.h"
#include "platform/net/netlink_path_monitor.h"
#include "platform/net/socket_tcp_connection.h"
#include "platform/net/socket_tcp_listener.h"
#include "platform/net/socket_udp_connection.h"
#include "platform/net/socket_udp_listener.h"
#include "platform/net/thread_precise_timer.h"

namespace sorvanta {

std::shared_ptr<TcpConnection> SystemNetworkFactory::makeTcpConnection(
    NetworkExecutor executor, Endpoint remote, NetworkParameters parameters) {
    return SocketTcpConnection::create(std::move(executor), std::move(remote),
                                       std::move(parameters));
}

std::shared_ptr<TcpConnection> SystemNetworkFactory::makeBrowsedConnection(
    NetworkExecutor executor, const DnssdEndpoint& endpoint, NetworkParameters parameters) {
    return MdnsBrowsedConnection::create(std::move(executor), endpoint, std::move(parameters));
}

std::shared_ptr<TcpListener> SystemNetworkFactory::makeTcpListener(NetworkExecutor executor,
                                                                   NetworkParameters parameters,
                                                                   std::uint16_t port) {
    return SocketTcpListener::create(std::move(executor), std::move(parameters), port);
}

std::shared_ptr<AdvertisedListener> SystemNetworkFactory::makeAdvertisedListener(
    NetworkExecutor executor, NetworkParameters parameters, AdvertisedListener::Service service) {
    return MdnsAdvertisedListener::create(std::move(executor), std::move(parameters),
                                          std::move(service));
}

std::shared_ptr<UdpConnection> SystemNetworkFactory::makeUdpConnection(
    NetworkExecutor executor, Endpoint remote, NetworkParameters parameters) {
    return SocketUdpConnection::create(std::move(executor), std::move(remote),
                                       std::move(parameters));
}

std::shared_ptr<UdpListener> SystemNetworkFactory::makeUdpListener(NetworkExecutor executor,
                                                                   NetworkParameters parameters,
                                                                   std::uint16_t port) {
    return SocketUdpListener::create(std::move(executor), std::move(parameters), port);
}

std::shared_ptr<PathMonitor> SystemNetworkFactory::makePathMonitor(
    NetworkExecutor executor, std::optional<InterfaceType> requiredType) {
    return NetlinkPathMonitor::create(std::move(executor), requiredType);
}

std::shared_ptr<DnssdBrowser> SystemNetworkFactory::makeBrowser(NetworkExecutor executor,
                                                                DnssdBrowser::Options options) {
    return MdnsDnssdBrowser::create(std::move(executor), std::move(options));
}

std::shared_ptr<PreciseTimer> SystemNetworkFactory::makePreciseTimer(
    std::chrono::nanoseconds period, std::function<void()> tick) {
    return std::make_shared<ThreadPreciseTimer>(period, std::move(tick));
}

}  // namespace sorvanta
