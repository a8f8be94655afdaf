#pragma once

#include <chrono>
#include <cstdint>

namespace sorvanta {

// A periodic timer for pacing and fine-grained sampling: first tick at start(), then every
// `period` on the monotonic clock, periods down to tens of microseconds. Ticks that fall due
// while one runs late are coalesced into one call made as soon as that one ends, and the
// schedule keeps its phase.
//
// The tick runs on a thread of the timer's own, not on the owner's executor: a sampling tick
// (the UDP receiver's 1 ms coverage check) must measure how promptly the executor serves
// receives, which it could not do if it queued behind those receives on that executor. The
// tick therefore does its own locking.
//
// cancel() never blocks and may be called from any thread, also while holding a lock the
// tick is waiting for, and from inside the tick: no tick begins after it returns, but one
// that had already begun (it may be waiting for that very lock) still runs to its end. So a
// tick checks, under its owner's lock, that its run is still current, and touches only state
// it keeps alive itself (a captured shared_ptr).
class PreciseTimer {
  public:
    virtual ~PreciseTimer() = default;

    virtual void start() = 0;
    virtual void cancel() = 0;
    // While exact, the timer meets each deadline to within a few microseconds by waiting
    // actively for the last stretch before it, at the cost of a busy CPU; otherwise it sleeps
    // and a tick may come some tens of microseconds late. Off at first; any thread, any time.
    virtual void setExact(bool exact) = 0;
    // While prompt, the timer's thread asks to run ahead of ordinary threads as soon as it
    // wakes (see setPromptWakeups), so that a busy CPU does not hold a sleeping tick back by
    // milliseconds. Only for a tick that does short work; it is set aside while the timer is
    // exact, as an actively waiting thread must not shut others out of its CPU (nor, with a
    // real-time policy granted by RealtimeKit, run past the limit that keeps the process
    // alive). Off at first; any thread, any time. A timer that cannot ask ignores it.
    virtual void setPrompt(bool) {}

    virtual std::chrono::nanoseconds period() const = 0;
    // Number of deadlines that were skipped because a tick came late (coalesced).
    virtual std::uint64_t coalescedTicks() const = 0;
    // The deadline of the tick in progress (read inside a tick: how late it came).
    virtual std::chrono::steady_clock::time_point currentDeadline() const = 0;
};

}  // namespace sorvanta
