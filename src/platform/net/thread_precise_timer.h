#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/net/precise_timer.h"

namespace sorvanta {

// The PreciseTimer of this system: a thread of its own sleeping with clock_nanosleep on
// absolute monotonic deadlines, with no timer slack. While prompt and not exact, the thread
// runs with the prompt wake-ups the process may have; it sets them itself before each wait,
// so a change applies from the next deadline on. While exact, it sleeps only until a
// margin before each deadline and spins for the rest; the margin follows how late its recent
// wake-ups came, so that a wake-up that comes late still lands before the deadline.
//
// cancel() only flips a flag under a lock that is never held across a tick, so it cannot wait
// for a tick; the thread ends by itself after at most the tick in progress. Destroying the
// timer waits for that tick (unless it is destroyed from inside the tick), so drop the last
// reference outside any lock the tick takes.
class ThreadPreciseTimer final : public PreciseTimer {
  public:
    ThreadPreciseTimer(std::chrono::nanoseconds period, std::function<void()> tick);
    ~ThreadPreciseTimer() override;
    ThreadPreciseTimer(const ThreadPreciseTimer&) = delete;
    ThreadPreciseTimer& operator=(const ThreadPreciseTimer&) = delete;

    void start() override;
    void cancel() override;
    void setExact(bool exact) override { state_->exact = exact; }
    void setPrompt(bool prompt) override { state_->prompt = prompt; }

    std::chrono::nanoseconds period() const override {
        return std::chrono::nanoseconds(state_->period);
    }
    std::uint64_t coalescedTicks() const override { return state_->coalesced; }
    std::chrono::steady_clock::time_point currentDeadline() const override {
        return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(state_->deadline));
    }

  private:
    // Shared with the thread, so that the timer may even be destroyed from inside its tick.
    struct State {
        std::int64_t period = 1;
        std::function<void()> tick;
        std::mutex gate;       // held only while deciding to start a tick, never across one
        bool running = false;  // under gate
        std::atomic<std::uint64_t> coalesced{0};
        std::atomic<bool> exact{false};
        std::atomic<bool> prompt{false};
        std::atomic<std::int64_t> deadline{0};  // on the monotonic clock, nanoseconds
    };
    static void run(const std::shared_ptr<State>& state);

    std::shared_ptr<State> state_;
    std::thread thread_;
    bool started_ = false;
};

}  // namespace sorvanta
