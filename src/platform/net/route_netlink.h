#pragma once

#include <asio/ip/address.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/net/network_executor.h"

namespace sorvanta {

// The kernel's answer for one destination.
struct RouteLookup {
    int outputInterface = 0;
    std::optional<asio::ip::address> gateway;
};

// Asks the routing table of the calling thread's namespace how `destination` is reached,
// optionally through one interface only. Empty when there is no route.
std::optional<RouteLookup> lookupRoute(const asio::ip::address& destination,
                                       int outputInterface = 0);

// The gateways of main-table routes that leave through any of the given interfaces.
std::vector<asio::ip::address> gatewaysOn(const std::vector<int>& interfaceIndexes);

// Watches links, addresses and routes through rtnetlink and calls `changed` on the executor,
// once per burst of kernel messages. A receive-queue overrun is reported as a change as well,
// so the owner re-reads everything. Used by path monitors and by connections for their paths.
class RouteWatcher : public std::enable_shared_from_this<RouteWatcher> {
  public:
    // Opens the socket in the calling thread's namespace; null (errno set) when that fails.
    static std::shared_ptr<RouteWatcher> open(NetworkExecutor executor,
                                              std::function<void()> changed);
    ~RouteWatcher();

    void start();
    void cancel();

  private:
    RouteWatcher(NetworkExecutor executor, int fd, std::function<void()> changed);
    void wait();

    asio::posix::stream_descriptor descriptor_;
    std::function<void()> changed_;
    HandlerGate gate_;
};

}  // namespace sorvanta
