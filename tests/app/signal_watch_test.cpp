#include "app/signal_watch.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include "app_harness.h"

namespace sorvanta {
namespace {

extern "C" void ignoreForTest(int) {}

struct sigaction current(int number) {
    struct sigaction action {};
    ::sigaction(number, nullptr, &action);
    return action;
}

// A termination signal reaches the watch's handler on the event loop, not the default that
// ends the process; the next one of the same kind falls to the default again, from the moment
// the first arrived; the handler that was there before comes back when the watch goes.
TEST(SignalWatchTest, TerminationSignalsReachTheEventLoop) {
    testing::qtApp();
    for (int number : {SIGTERM, SIGINT}) {
        struct sigaction before {};
        before.sa_handler = ignoreForTest;
        sigemptyset(&before.sa_mask);
        struct sigaction saved {};
        ::sigaction(number, &before, &saved);
        {
            std::vector<int> seen;
            SignalWatch watch({SIGTERM, SIGINT}, [&seen](int signal) { seen.push_back(signal); });
            ASSERT_EQ(::raise(number), 0);
            EXPECT_TRUE(seen.empty()) << "the handler runs on the loop, not in the signal";
            EXPECT_EQ(current(number).sa_handler, SIG_DFL) << "before the loop ran: " << number;
            QElapsedTimer waited;
            waited.start();
            while (seen.empty() && waited.elapsed() < 2000) {
                QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            }
            EXPECT_EQ(seen, std::vector<int>{number});
            EXPECT_EQ(current(number).sa_handler, SIG_DFL) << number;
            const int other = number == SIGTERM ? SIGINT : SIGTERM;
            EXPECT_NE(current(other).sa_handler, SIG_DFL) << other;
        }
        EXPECT_EQ(current(number).sa_handler, ignoreForTest) << number;
        ::sigaction(number, &saved, nullptr);
    }
}

// A program whose loop hangs while quitting still ends at the second signal of a kind, and
// ends by that signal.
TEST(SignalWatchDeathTest, SecondSignalEndsAProgramWhoseLoopHangs) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (int number : {SIGTERM, SIGINT}) {
        EXPECT_EXIT(
            {
                testing::qtApp();
                SignalWatch watch({SIGTERM, SIGINT}, [](int) {});
                // Nothing runs the loop from here on.
                ::raise(number);
                ::raise(number);
                std::_Exit(0);
            },
            ::testing::KilledBySignal(number), "")
            << number;
    }
}

// One watch at a time; the next one, made after the first has gone, hears only its own
// signals, not one its predecessor never read.
TEST(SignalWatchTest, OneWatchAtATimeEachWithItsOwnSignals) {
    testing::qtApp();
    struct sigaction saved {};
    ::sigaction(SIGINT, nullptr, &saved);
    std::vector<int> seen;
    {
        SignalWatch first({SIGTERM, SIGINT}, [&seen](int signal) { seen.push_back(signal); });
        EXPECT_THROW(SignalWatch({SIGTERM}, [](int) {}), std::logic_error);
        struct sigaction ignore {};
        ignore.sa_handler = ignoreForTest;
        sigemptyset(&ignore.sa_mask);
        ASSERT_EQ(::raise(SIGINT), 0);
        // The default is back; keep this process alive past a stray second one.
        ::sigaction(SIGINT, &ignore, nullptr);
    }
    SignalWatch second({SIGTERM, SIGINT}, [&seen](int signal) { seen.push_back(signal); });
    ASSERT_EQ(::raise(SIGTERM), 0);
    QElapsedTimer waited;
    waited.start();
    while (seen.empty() && waited.elapsed() < 2000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    EXPECT_EQ(seen, std::vector<int>{SIGTERM});
    ::sigaction(SIGINT, &saved, nullptr);
}

}  // namespace
}  // namespace sorvanta
