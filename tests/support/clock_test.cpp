#include "support/clock.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace sorvanta {
namespace {

TEST(ClockTest, SteadyClockCountsFromItsEpochAndNeverGoesBack) {
    const SteadyClock clock;
    double previous = clock.now();
    EXPECT_GE(previous, 0.0);
    for (int i = 0; i < 1000; ++i) {
        const double current = clock.now();
        EXPECT_GE(current, previous);
        previous = current;
    }
    const SteadyClock earlier(std::chrono::steady_clock::now() - std::chrono::seconds(5));
    EXPECT_GE(earlier.now(), 5.0);
    const Clock& asInterface = earlier;
    EXPECT_GE(asInterface.now(), 5.0);
}

TEST(ClockTest, ManualClockMovesOnlyWhenTold) {
    ManualClock clock(2.5);
    EXPECT_EQ(clock.now(), 2.5);
    clock.advance(0.25);
    EXPECT_EQ(clock.now(), 2.75);
    clock.set(30.0);
    EXPECT_EQ(clock.now(), 30.0);
}

TEST(ClockTest, ManualClockAdvancesFromManyThreadsWithoutLosingSteps) {
    ManualClock clock;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 1000; ++i) {
                clock.advance(0.25);  // exact in binary, so the sum is exact
                (void)clock.now();
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(clock.now(), 1000.0);
}

}  // namespace
}  // namespace sorvanta
