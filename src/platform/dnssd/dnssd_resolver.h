#pragma once

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/dnssd/dnssd_endpoint.h"
#include "platform/dnssd/mdns_resolver.h"
#include "platform/dnssd/mdns_transport.h"
#include "platform/net/network_executor.h"
#include "support/platform_error.h"

namespace sorvanta {

// Resolves a browsed endpoint, on the interface it was seen on, to the TCP addresses a
// connection can dial, starting from what the browser that found it already holds: the port of its
// SRV record with each address of the host it names, IPv6 first (a link-local one carrying the
// interface as its scope, the one address family every wired link has), then IPv4. Runs on the
// owner's serial executor (see network_executor.h); the completion runs once, unless cancel() came
// first.
class DnssdResolver : public std::enable_shared_from_this<DnssdResolver> {
  public:
    using Completion = std::function<void(const std::vector<asio::ip::tcp::endpoint>& addresses,
                                          std::optional<PlatformError> error)>;

    static std::shared_ptr<DnssdResolver> create(
        NetworkExecutor executor, DnssdEndpoint endpoint,
        std::chrono::milliseconds timeout = std::chrono::seconds(5));
    ~DnssdResolver();

    void start(Completion completion);
    void cancel();

  private:
    DnssdResolver(NetworkExecutor executor, DnssdEndpoint endpoint,
                  std::chrono::milliseconds timeout);
    void begin();
    void pump();
    void finish(std::optional<PlatformError> error);

    NetworkExecutor executor_;
    HandlerGate gate_;
    DnssdEndpoint endpoint_;
    std::chrono::milliseconds timeout_;
    std::shared_ptr<MdnsTransport> transport_;
    std::unique_ptr<MdnsResolver> resolver_;
    asio::steady_timer timer_;
    asio::steady_timer deadline_;
    std::uint64_t timerGeneration_ = 0;
    Completion completion_;
    bool done_ = false;
};

}  // namespace sorvanta
