#include "lab/thread_cpu.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

namespace sorvanta {
namespace {

// The benchmark runs charge CPU and wake-ups per thread from these lines: a misread line must
// be refused, not turned into a figure.
TEST(ThreadCpu, ParsesSchedstatLinesAndRefusesOthers) {
    struct Case {
        const char* text;
        bool parsed;
        double seconds;
        long long slices;
    };
    const Case cases[] = {
        {"1500000000 20000 42\n", true, 1.5, 42},
        {"0 0 0", true, 0, 0},
        {"987654321 5 7 trailing", true, 0.987654321, 7},
        {"1500000000 20000", false, 0, 0},
        {"", false, 0, 0},
        {"abc 1 2", false, 0, 0},
        {"-5 1 2", false, 0, 0},
        {"5 1 -2", false, 0, 0},
    };
    for (const auto& c : cases) {
        testing::ThreadCpu thread;
        EXPECT_EQ(testing::parseSchedstat(c.text, thread), c.parsed) << c.text;
        if (c.parsed) {
            EXPECT_DOUBLE_EQ(thread.seconds, c.seconds) << c.text;
            EXPECT_EQ(thread.slices, c.slices) << c.text;
        }
    }
}

// The calling thread's own figures only grow, and a thread that sleeps and wakes again is
// given the CPU again: its timeslices grow with each wake-up.
TEST(ThreadCpu, CallingThreadCountsItsOwnWakeups) {
    const auto before = testing::callingThreadCpu();
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const auto after = testing::callingThreadCpu();
    EXPECT_GT(before.slices, 0);
    EXPECT_GE(after.slices, before.slices + 3);
    EXPECT_GE(after.seconds, before.seconds);
    // Another thread's figures are its own, not this one's.
    testing::ThreadCpu other;
    std::thread([&] { other = testing::callingThreadCpu(); }).join();
    EXPECT_LT(other.slices, after.slices);
}

}  // namespace
}  // namespace sorvanta
