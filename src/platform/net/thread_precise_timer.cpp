#include "platform/net/thread_precise_timer.h"

#include "platform/net/prompt_wakeups.h"

#include <sys/prctl.h>
#include <time.h>

#include <algorithm>
#include <cerrno>

namespace sorvanta {

namespace {

std::int64_t monotonicNanoseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

void sleepUntil(std::int64_t deadline) {
    timespec at{};
    at.tv_sec = deadline / 1'000'000'000;
    at.tv_nsec = deadline % 1'000'000'000;
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

// How long before a deadline an exact timer stops sleeping: its recent wake-ups' lateness
// with some room, within bounds that keep a quiet machine's spin short and a busy one's
// sleep from overshooting often.
class WakeMargin {
  public:
    std::int64_t nanoseconds() const { return margin_; }

    // A sleep meant to end at `target` ended at `woke`.
    void note(std::int64_t target, std::int64_t woke) {
        const std::int64_t late = std::max<std::int64_t>(woke - target, 0);
        // The worst recent lateness, forgetting slowly (about a thousand wake-ups).
        worst_ = std::max(late, worst_ - worst_ / 1024);
        margin_ = std::clamp<std::int64_t>(worst_ + worst_ / 2 + slack, smallest, largest);
    }

  private:
    static constexpr std::int64_t slack = 10'000;
    static constexpr std::int64_t smallest = 20'000;
    static constexpr std::int64_t largest = 500'000;
    std::int64_t worst_ = 50'000;
    std::int64_t margin_ = 100'000;
};

// Waits for `deadline`: exactly (sleep to the margin, then spin) or by sleeping alone.
void waitUntil(std::int64_t deadline, bool exact, WakeMargin& margin) {
    if (!exact) {
        sleepUntil(deadline);
        return;
    }
    const std::int64_t target = deadline - margin.nanoseconds();
    if (monotonicNanoseconds() < target) {
        sleepUntil(target);
        margin.note(target, monotonicNanoseconds());
    }
    while (monotonicNanoseconds() < deadline) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
}

}  // namespace

ThreadPreciseTimer::ThreadPreciseTimer(std::chrono::nanoseconds period, std::function<void()> tick)
    : state_(std::make_shared<State>()) {
    state_->period = period.count() > 0 ? period.count() : 1;
    state_->tick = std::move(tick);
}

ThreadPreciseTimer::~ThreadPreciseTimer() {
    cancel();
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();  // destroyed from the tick: the loop ends after it
        } else {
            thread_.join();
        }
    }
}

void ThreadPreciseTimer::start() {
    {
        std::lock_guard lock(state_->gate);
        if (started_) {
            return;
        }
        started_ = true;
        state_->running = true;
    }
    thread_ = std::thread([state = state_] { run(state); });
}

void ThreadPreciseTimer::cancel() {
    std::lock_guard lock(state_->gate);
    state_->running = false;
}

void ThreadPreciseTimer::run(const std::shared_ptr<State>& state) {
    // The default slack of 50 µs would make short periods drift late.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    const std::int64_t period = state->period;
    std::int64_t next = monotonicNanoseconds();
    WakeMargin margin;
    bool prompt = false;
    for (;;) {
        state->deadline = next;
        const bool exact = state->exact;
        if (const bool wanted = state->prompt && !exact; wanted != prompt) {
            setPromptWakeups(wanted);
            prompt = wanted;
        }
        waitUntil(next, exact, margin);
        {
            std::lock_guard lock(state->gate);
            if (!state->running) {
                break;
            }
        }
        state->tick();
        next += period;
        const std::int64_t now = monotonicNanoseconds();
        if (next <= now) {
            // The deadlines that passed meanwhile get one tick, at once, on the latest of
            // them: waiting for the next deadline instead would make a pacer behind by a
            // moment fall behind by a whole period.
            const std::int64_t passed = (now - next) / period + 1;
            state->coalesced += static_cast<std::uint64_t>(passed - 1);
            next += (passed - 1) * period;
        }
    }
}

}  // namespace sorvanta
