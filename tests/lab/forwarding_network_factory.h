#pragma once

#include <memory>

#include "platform/network_factory.h"

namespace sorvanta::testing {

// Hands every request to another factory; a test factory derives from it and overrides only
// what it changes or watches.
class ForwardingNetworkFactory : public NetworkFactory {
  public:
    explicit ForwardingNetworkFactory(std::shared_ptr<NetworkFactory> inner)
        : inner_(std::move(inner)) {}

    std::shared_ptr<TcpConnection> makeTcpConnection(NetworkExecutor executor, Endpoint remote,
                                                     NetworkParameters parameters) override {
        return inner_->makeTcpConnection(std::move(executor), std::move(remote),
                                         std::move(parameters));
    }
    std::shared_ptr<TcpConnection> makeBrowsedConnection(NetworkExecutor executor,
                                                         const DnssdEndpoint& endpoint,
                                                         NetworkParameters parameters) override {
        return inner_->makeBrowsedConnection(std::move(executor), endpoint, std::move(parameters));
    }
    std::shared_ptr<TcpListener> makeTcpListener(NetworkExecutor executor,
                                                 NetworkParameters parameters,
                                                 std::uint16_t port) override {
        return inner_->makeTcpListener(std::move(executor), std::move(parameters), port);
    }
    std::shared_ptr<AdvertisedListener> makeAdvertisedListener(
        NetworkExecutor executor, NetworkParameters parameters,
        AdvertisedListener::Service service) override {
        return inner_->makeAdvertisedListener(std::move(executor), std::move(parameters),
                                              std::move(service));
    }
    std::shared_ptr<UdpConnection> makeUdpConnection(NetworkExecutor executor, Endpoint remote,
                                                     NetworkParameters parameters) override {
        return inner_->makeUdpConnection(std::move(executor), std::move(remote),
                                         std::move(parameters));
    }
    std::shared_ptr<UdpListener> makeUdpListener(NetworkExecutor executor,
                                                 NetworkParameters parameters,
                                                 std::uint16_t port) override {
        return inner_->makeUdpListener(std::move(executor), std::move(parameters), port);
    }
    std::shared_ptr<PathMonitor> makePathMonitor(
        NetworkExecutor executor, std::optional<InterfaceType> requiredType) override {
        return inner_->makePathMonitor(std::move(executor), requiredType);
    }
    std::shared_ptr<DnssdBrowser> makeBrowser(NetworkExecutor executor,
                                              DnssdBrowser::Options options) override {
        return inner_->makeBrowser(std::move(executor), std::move(options));
    }
    std::shared_ptr<PreciseTimer> makePreciseTimer(std::chrono::nanoseconds period,
                                                   std::function<void()> tick) override {
        return inner_->makePreciseTimer(period, std::move(tick));
    }

  protected:
    NetworkFactory& inner() const { return *inner_; }

  private:
    const std::shared_ptr<NetworkFactory> inner_;
};

}  // namespace sorvanta::testing
