#pragma once

#include <asio/steady_timer.hpp>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/net/network_executor.h"
#include "platform/net/network_path.h"
#include "platform/net/path_monitor.h"

namespace sorvanta {

class RouteWatcher;

// The PathMonitor of this system: watches the interfaces of one type (or of any type) through
// rtnetlink — links, addresses,
// routes — and reports the resulting path: its available interfaces are those of the type
// that are up, have carrier and hold an address; it is satisfied when there is at least one;
// its gateways are the routers reached through them. The first path comes right after
// start(), later ones only when the path changed. After a netlink overrun everything is read
// again. While no watch can be opened (out of descriptors or memory) the path is read again
// and the watch tried again every retryDelay. No handler runs after cancel().
class NetlinkPathMonitor final : public PathMonitor,
                                 public std::enable_shared_from_this<NetlinkPathMonitor> {
  public:
    // Opens the watch of link, address and route changes: RouteWatcher::open, but in tests.
    using WatchOpener = std::function<std::shared_ptr<RouteWatcher>(NetworkExecutor executor,
                                                                    std::function<void()> changed)>;

    static std::shared_ptr<NetlinkPathMonitor> create(NetworkExecutor executor,
                                                      std::optional<InterfaceType> requiredType,
                                                      WatchOpener openWatch = {});

    void setUpdateHandler(UpdateHandler handler) override { handler_ = std::move(handler); }
    void start() override;
    void cancel() override;

    std::optional<NetworkPath> currentPath() const override;

    // The path of the current interfaces (pure given the kernel state; for tests and callers
    // that want one reading without a monitor).
    static NetworkPath read(std::optional<InterfaceType> requiredType);

  private:
    NetlinkPathMonitor(NetworkExecutor executor, std::optional<InterfaceType> requiredType,
                       WatchOpener openWatch);
    void watch();
    void refresh();

    NetworkExecutor executor_;
    std::optional<InterfaceType> requiredType_;
    WatchOpener openWatch_;
    UpdateHandler handler_;
    HandlerGate gate_;
    std::shared_ptr<RouteWatcher> watcher_;
    asio::steady_timer retry_;
    mutable std::mutex mutex_;
    std::optional<NetworkPath> path_;
};

}  // namespace sorvanta
