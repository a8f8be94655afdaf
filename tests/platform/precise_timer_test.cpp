#include "platform/precise_timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

namespace sorvanta {
namespace {

using Clock = std::chrono::steady_clock;

TEST(PreciseTimer, KeepsItsPeriodAndCoalescesLateTicks) {
    std::mutex mutex;
    std::vector<Clock::time_point> ticks;
    std::atomic<bool> stall{false};
    PreciseTimer timer(std::chrono::microseconds(500), [&] {
        std::lock_guard lock(mutex);
        ticks.push_back(Clock::now());
        if (stall.exchange(false)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    const auto started = Clock::now();
    timer.start();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    stall = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    timer.cancel();
    const auto ended = Clock::now();
    const std::size_t count = [&] {
        std::lock_guard lock(mutex);
        return ticks.size();
    }();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::lock_guard lock(mutex);
    EXPECT_EQ(ticks.size(), count);  // nothing after cancel

    // The first tick comes at once; the 5 ms stall costs about ten deadlines, which are
    // coalesced rather than fired in a burst; the phase is kept, so the count is the
    // elapsed time over the period minus the skipped deadlines.
    EXPECT_LT(ticks.front() - started, std::chrono::milliseconds(2));
    EXPECT_GE(timer.coalescedTicks(), 8u);
    const double elapsed = std::chrono::duration<double>(ended - started).count();
    const double expected = elapsed / 0.0005 - static_cast<double>(timer.coalescedTicks());
    EXPECT_NEAR(static_cast<double>(ticks.size()), expected, expected * 0.05);
    int burst = 0;
    for (std::size_t i = 1; i < ticks.size(); ++i) {
        if (ticks[i] - ticks[i - 1] < std::chrono::microseconds(100)) {
            ++burst;
        }
    }
    EXPECT_LT(burst, 5);
}

TEST(PreciseTimer, MayBeCancelledAndDestroyedFromItsOwnTick) {
    std::atomic<int> ticks{0};
    auto* timer = new PreciseTimer(std::chrono::microseconds(100), [] {});
    std::atomic<bool> done{false};
    delete timer;
    auto owner = std::make_shared<std::unique_ptr<PreciseTimer>>();
    *owner = std::make_unique<PreciseTimer>(std::chrono::microseconds(100), [&, owner] {
        if (++ticks == 3) {
            owner->reset();  // destroys the timer from inside its tick
            done = true;
        }
    });
    (*owner)->start();
    while (!done) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(ticks, 3);
}

}  // namespace
}  // namespace sorvanta
