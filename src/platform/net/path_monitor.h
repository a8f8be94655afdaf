#pragma once

#include <functional>
#include <optional>

#include "platform/net/network_path.h"

namespace sorvanta {

// Watches the interfaces of one type (or of any type) and reports the resulting path: its
// available interfaces are those of the type that are up, have carrier and hold an address;
// it is satisfied when there is at least one; its gateways are the routers reached through
// them. The first path comes soon after start() (posted, never inside it), later ones only
// when the path changed. No handler runs after cancel().
class PathMonitor {
  public:
    using UpdateHandler = std::function<void(const NetworkPath&)>;

    virtual ~PathMonitor() = default;

    virtual void setUpdateHandler(UpdateHandler handler) = 0;
    virtual void start() = 0;
    virtual void cancel() = 0;

    virtual std::optional<NetworkPath> currentPath() const = 0;
};

}  // namespace sorvanta
