#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

namespace sorvanta {

// A periodic timer on a thread of its own, for pacing: first tick at start(), then every
// `period` on the monotonic clock with no timer slack, periods down to tens of microseconds.
// Ticks that fall due while one runs late are coalesced into one call, and the schedule keeps
// its phase (the next deadline is the next multiple of the period after now). The tick runs
// on the timer's thread; it must do its own locking. After cancel() returns (from any other
// thread) no tick is running or will run; cancel() from inside the tick stops after it.
class PreciseTimer {
  public:
    PreciseTimer(std::chrono::nanoseconds period, std::function<void()> tick);
    ~PreciseTimer();
    PreciseTimer(const PreciseTimer&) = delete;
    PreciseTimer& operator=(const PreciseTimer&) = delete;

    void start();
    void cancel();

    std::chrono::nanoseconds period() const { return std::chrono::nanoseconds(state_->period); }

    // Number of deadlines that were skipped because a tick came late (coalesced).
    std::uint64_t coalescedTicks() const { return state_->coalesced; }

  private:
    // Shared with the thread, so that the timer may even be destroyed from inside its tick.
    struct State {
        std::int64_t period = 1;
        std::function<void()> tick;
        std::atomic<bool> running{false};
        std::atomic<std::uint64_t> coalesced{0};
    };
    static void run(const std::shared_ptr<State>& state);

    std::shared_ptr<State> state_;
    std::thread thread_;
};

}  // namespace sorvanta
