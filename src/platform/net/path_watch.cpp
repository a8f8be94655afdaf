#include "platform/net/path_watch.h"

#include "platform/net/route_netlink.h"

namespace sorvanta {

PathWatch::PathWatch() = default;
PathWatch::~PathWatch() = default;

void PathWatch::begin(const NetworkPath& path) {
    {
        std::lock_guard lock(mutex_);
        path_ = path;
    }
    viable_ = path.status == PathStatus::satisfied;
}

void PathWatch::follow(const NetworkExecutor& executor, std::function<void()> changed) {
    watcher_ = RouteWatcher::open(executor, std::move(changed));
    if (watcher_) {
        watcher_->start();
    }
}

void PathWatch::stop() {
    if (watcher_) {
        watcher_->cancel();
        watcher_.reset();
    }
}

void PathWatch::update(const NetworkPath& path, const HandlerGate& gate) {
    {
        std::lock_guard lock(mutex_);
        if (path_ == path) {
            return;
        }
        path_ = path;
    }
    if (gate.isOpen() && pathHandler_) {
        pathHandler_(path);
    }
    const bool viable = path.status == PathStatus::satisfied;
    if (viable != viable_) {
        viable_ = viable;
        if (gate.isOpen() && viabilityHandler_) {
            viabilityHandler_(viable);
        }
    }
}

std::optional<NetworkPath> PathWatch::current() const {
    std::lock_guard lock(mutex_);
    return path_;
}

}  // namespace sorvanta
