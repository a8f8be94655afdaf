#pragma once

#include <functional>

#include "platform/net/network_executor.h"

namespace sorvanta {

// Whether the machine runs in Low Power Mode, and word when that changes.
class LowPowerSource {
  public:
    using ChangeHandler = std::function<void(bool lowPower)>;

    virtual ~LowPowerSource() = default;

    // The mode as last seen; false when nothing can tell.
    virtual bool lowPower() const = 0;

    // From now on, each change of the mode is delivered to `handler` with the new value, by
    // posting to `executor` (never inside this call). A second start replaces the first.
    virtual void start(NetworkExecutor executor, ChangeHandler handler) = 0;

    // Called on the executor given to start: no handler runs after it.
    virtual void stop() = 0;
};

}  // namespace sorvanta
