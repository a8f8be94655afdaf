#include "platform/net/thread_precise_timer.h"

#include <sys/prctl.h>
#include <time.h>

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
    for (;;) {
        sleepUntil(next);
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
