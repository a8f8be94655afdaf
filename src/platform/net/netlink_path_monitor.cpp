#include "platform/net/netlink_path_monitor.h"

#include <asio/post.hpp>

#include "platform/net/route_netlink.h"

namespace sorvanta {

std::shared_ptr<NetlinkPathMonitor> NetlinkPathMonitor::create(
    NetworkExecutor executor, std::optional<InterfaceType> requiredType) {
    return std::shared_ptr<NetlinkPathMonitor>(
        new NetlinkPathMonitor(std::move(executor), requiredType));
}

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
        if (!self->gate_.isOpen() || self->watcher_) {
            return;
        }
        // Subscribe first, then read: a change in between is seen by the next refresh.
        self->watcher_ = RouteWatcher::open(self->executor_, [weak = self->weak_from_this()] {
            if (auto monitor = weak.lock()) {
                monitor->refresh();
            }
        });
        if (self->watcher_) {
            self->watcher_->start();
        }
        self->refresh();
    });
}

void NetlinkPathMonitor::cancel() {
    gate_.close();
    asio::post(executor_, [self = shared_from_this()] {
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
