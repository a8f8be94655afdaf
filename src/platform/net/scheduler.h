#pragma once

#include <cstdint>
#include <functional>

#include "support/clock.h"

namespace sorvanta {

// One-shot timers of an actor (deadlines, retries, restarts) and the clock they run on. An
// action runs on the actor's executor, never inside schedule(); a cancelled action never
// runs. Tokens are never reused, so cancelling one that already ran is harmless.
class Scheduler {
  public:
    using Token = std::uint64_t;

    virtual ~Scheduler() = default;

    // Runs `action` once `seconds` (0 or less: as soon as possible) have passed on clock().
    virtual Token schedule(double seconds, std::function<void()> action) = 0;
    virtual void cancel(Token token) = 0;
    virtual Clock& clock() = 0;
};

}  // namespace sorvanta
