#include "platform/net/netlink_path_monitor.h"

#include <asio/post.hpp>

#include "platform/net/retry_schedule.h"
#include "platform/net/route_netlink.h"

namespace sorvanta {

std::shared_ptr<NetlinkPathMonitor> NetlinkPathMonitor::create(
    NetworkExecutor executor, std::optional<InterfaceType> requiredType, WatchOpener openWatch) {
    if (!openWatch) {
        openWatch = &RouteWatcher::open;
    }
    return std::shared_ptr<NetlinkPathMonitor>(
        new NetlinkPathMonitor(std::move(executor), requiredType, std::move(openWatch)));
}

NetlinkPathMonitor::NetlinkPathMonitor(NetworkExecutor executor,
                                       std::optional<InterfaceType> requiredType,
                                       WatchOpener openWatch)
    : executor_(std::move(executor)),
      requiredType_(requiredType),
      openWatch_(std::move(openWatch)),
      retry_(executor_) {}

NetworkPath NetlinkPathMonitor::read(std::optional<InterfaceType> requiredType) {
    NetworkPath path;
    std::vector<int> indexes;
    for (const auto& info : listInterfaces()) {
        if (requiredType && info.interface.type != *requiredType) {
            continue;
        }
        if (info.up && info.carrier && !info.addresses.empty()) {
            path.availableInterfaces.push_back(info.interface);
            indexes.push_back(info.interface.index);
        }
    }
    if (!path.availableInterfaces.empty()) {
        path.status = PathStatus::satisfied;
        path.unsatisfiedReason.reset();
        path.gateways = gatewaysOn(indexes);
    }
    return path;
}

void NetlinkPathMonitor::start() {
    asio::post(executor_, [self = shared_from_this()] {
        if (!self->watcher_) {
            self->watch();
        }
    });
}

void NetlinkPathMonitor::watch() {
    if (!gate_.isOpen()) {
        return;
    }
    // Subscribe first, then read: a change in between is seen by the next refresh.
    watcher_ = openWatch_(executor_, [weak = weak_from_this()] {
        if (auto monitor = weak.lock()) {
            monitor->refresh();
        }
    });
    if (watcher_) {
        watcher_->start();
    } else {
        // Without a watch no change would ever be seen: keep reading, and trying, until one
        // opens.
        scheduleRetry(retry_, weak_from_this(), &NetlinkPathMonitor::watch);
    }
    refresh();
}

void NetlinkPathMonitor::cancel() {
    gate_.close();
    asio::post(executor_, [self = shared_from_this()] {
        self->retry_.cancel();
        if (self->watcher_) {
            self->watcher_->cancel();
            self->watcher_.reset();
        }
    });
}

std::optional<NetworkPath> NetlinkPathMonitor::currentPath() const {
    std::lock_guard lock(mutex_);
    return path_;
}

void NetlinkPathMonitor::refresh() {
    if (!gate_.isOpen()) {
        return;
    }
    NetworkPath path = read(requiredType_);
    {
        std::lock_guard lock(mutex_);
        if (path_ == path) {
            return;
        }
        path_ = path;
    }
    if (handler_) {
        handler_(path);
    }
}

}  // namespace sorvanta
