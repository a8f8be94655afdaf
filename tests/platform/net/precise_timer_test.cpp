#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "platform/net/prompt_wakeups.h"
#include "platform/net/thread_precise_timer.h"

namespace sorvanta {
namespace {

using Clock = std::chrono::steady_clock;

// Sleeping alone and sleeping then spinning (exact) keep the same schedule.
class PreciseTimerSchedule : public ::testing::TestWithParam<bool> {};

INSTANTIATE_TEST_SUITE_P(Waits, PreciseTimerSchedule, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Exact" : "Sleeping"; });

TEST_P(PreciseTimerSchedule, KeepsItsPeriodAndCoalescesLateTicks) {
    std::mutex mutex;
    std::vector<Clock::time_point> ticks;
    std::atomic<bool> stall{false};
    ThreadPreciseTimer timer(std::chrono::microseconds(500), [&] {
        std::lock_guard lock(mutex);
        ticks.push_back(Clock::now());
        if (stall.exchange(false)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    timer.setExact(GetParam());
    const auto started = Clock::now();
    timer.start();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    stall = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    timer.cancel();
    const std::size_t count = [&] {
        std::lock_guard lock(mutex);
        return ticks.size();
    }();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::lock_guard lock(mutex);
    EXPECT_LE(ticks.size(), count + 1);  // at most the tick already begun

    // The first tick comes at once (bounds are loose: tests share a loaded machine). The
    // 5 ms stall costs about ten deadlines, which are coalesced rather than fired in a burst,
    // and the phase is kept, so the count is the elapsed time over the period minus the
    // skipped deadlines.
    EXPECT_LT(ticks.front() - started, std::chrono::milliseconds(50));
    EXPECT_GE(timer.coalescedTicks(), 8u);
    // Every deadline between the first and the last tick either fired or was coalesced.
    const double span = std::chrono::duration<double>(ticks.back() - ticks.front()).count();
    const double expected = span / 0.0005 + 1 - static_cast<double>(timer.coalescedTicks());
    // A late last tick stretches the span on a loaded machine; a burst or lost deadlines are
    // far more than this.
    EXPECT_NEAR(static_cast<double>(ticks.size()), expected, 8.0);
    std::size_t longest = 0;
    for (std::size_t i = 1; i < ticks.size(); ++i) {
        if (ticks[i] - ticks[i - 1] > ticks[longest] - ticks[longest > 0 ? longest - 1 : 0]) {
            longest = i;
        }
    }
    // After the longest gap (the stall) no catch-up burst: at most a few ticks in 1 ms.
    std::size_t following = 0;
    for (std::size_t i = longest; i < ticks.size(); ++i) {
        if (ticks[i] - ticks[longest] < std::chrono::milliseconds(1)) {
            ++following;
        }
    }
    EXPECT_LE(following, 4u);
}

TEST(PreciseTimer, ATickThatOverrunsItsPeriodIsFollowedAtOnce) {
    // A 250 ms first tick on a 200 ms period: the passed deadline is served when it ends,
    // not at the next one (400 ms), and the 400 ms deadline then still comes.
    std::mutex mutex;
    std::vector<Clock::time_point> ticks;
    ThreadPreciseTimer timer(std::chrono::milliseconds(200), [&] {
        std::unique_lock lock(mutex);
        ticks.push_back(Clock::now());
        if (ticks.size() == 1) {
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
    });
    timer.start();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    timer.cancel();
    std::lock_guard lock(mutex);
    ASSERT_GE(ticks.size(), 3u);
    EXPECT_LT(ticks[1] - ticks[0], std::chrono::milliseconds(350));
    EXPECT_GT(ticks[2] - ticks[0], std::chrono::milliseconds(390));
    EXPECT_EQ(timer.coalescedTicks(), 0u);
}

TEST(PreciseTimer, MayBeCancelledAndDestroyedFromItsOwnTick) {
    std::atomic<int> ticks{0};
    std::atomic<bool> done{false};
    auto owner = std::make_shared<std::unique_ptr<ThreadPreciseTimer>>();
    *owner = std::make_unique<ThreadPreciseTimer>(std::chrono::microseconds(100), [&, owner] {
        if (++ticks == 3) {
            owner->reset();  // destroys the timer from inside its tick
            done = true;
        }
    });
    (*owner)->start();
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!done && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(done);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(ticks, 3);
}

// cancel() comes while the owner holds the lock that the running tick is waiting for: it
// must return at once, and the waiting tick is the last one.
TEST(PreciseTimer, CancelUnderALockTheTickWaitsForNeitherBlocksNorLetsAnotherTickIn) {
    struct Shared {
        std::mutex lock;
        std::atomic<int> ticks{0};
        std::atomic<bool> cancelled{false};
        std::unique_ptr<ThreadPreciseTimer> timer;
    };
    // Kept alive on failure: a deadlocked timer must not be joined by the test's thread.
    auto shared = std::make_shared<Shared>();
    shared->timer =
        std::make_unique<ThreadPreciseTimer>(std::chrono::microseconds(200), [s = shared.get()] {
            ++s->ticks;
            std::lock_guard held(s->lock);
        });
    std::unique_lock held(shared->lock);
    shared->timer->start();
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (shared->ticks == 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(shared->ticks, 1);  // that tick now waits for the lock
    std::thread([shared] {
        shared->timer->cancel();  // the caller still holds the lock
        shared->cancelled = true;
    }).detach();
    while (!shared->cancelled && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!shared->cancelled) {
        new std::shared_ptr<Shared>(shared);  // leaked on purpose, see above
        held.release();
        FAIL() << "cancel() blocked on the tick";
    }
    held.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(shared->ticks, 1);
    shared->timer.reset();
}

// An exact timer's ticks come at or after their deadlines, never before: a pacer counts its
// slots from the deadline, and one served early would send ahead of its time. Only the order
// is checked, not how close to the deadline a tick lands.
TEST(PreciseTimer, AnExactTickNeverComesBeforeItsDeadline) {
    std::mutex mutex;
    std::vector<std::chrono::nanoseconds> lateness;
    ThreadPreciseTimer* self = nullptr;
    ThreadPreciseTimer timer(std::chrono::milliseconds(2), [&] {
        const auto now = Clock::now();
        std::lock_guard lock(mutex);
        lateness.push_back(now - self->currentDeadline());
    });
    self = &timer;
    timer.setExact(true);
    timer.start();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    timer.cancel();
    std::lock_guard lock(mutex);
    ASSERT_GE(lateness.size(), 20u);
    const auto earliest = *std::min_element(lateness.begin(), lateness.end());
    EXPECT_GE(earliest.count(), 0)
        << "a tick came " << -earliest.count() << " ns before its deadline";
}

// A prompt timer's thread runs its ticks with prompt wake-ups, except while it waits actively
// (exact), and turning prompt off gives the thread back its ordinary scheduling.
TEST(PreciseTimer, TicksPromptlyOnlyWhilePromptAndNotExact) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "the unprivileged fallback is not visible as a policy";
    }
    struct Case {
        const char* name;
        bool prompt, exact;
        WakeupPriority expected;
    };
    const Case cases[] = {
        {"ordinary", false, false, WakeupPriority::ordinary},
        {"prompt", true, false, WakeupPriority::realTime},
        {"prompt but exact", true, true, WakeupPriority::ordinary},
    };
    for (const auto& c : cases) {
        std::mutex mutex;
        std::vector<WakeupPriority> seen;
        ThreadPreciseTimer timer(std::chrono::milliseconds(1), [&] {
            std::lock_guard lock(mutex);
            seen.push_back(currentWakeupPriority());
        });
        timer.setPrompt(c.prompt);
        timer.setExact(c.exact);
        timer.start();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        // Then back to ordinary: the ticks after the change are ordinary again.
        timer.setPrompt(false);
        timer.setExact(false);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        timer.cancel();
        std::lock_guard lock(mutex);
        ASSERT_GE(seen.size(), 4u) << c.name;
        EXPECT_EQ(seen.front(), c.expected) << c.name;
        EXPECT_EQ(seen.back(), WakeupPriority::ordinary) << c.name;
    }
}

}  // namespace
}  // namespace sorvanta
