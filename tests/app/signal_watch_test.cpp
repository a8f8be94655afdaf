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
// ends the process; the next one of the same kind falls to the default again; the handler
// that was there before comes back when the watch goes.
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

TEST(SignalWatchTest, OnlyOneWatchPerProcess) {
    testing::qtApp();
    SignalWatch first({SIGTERM}, [](int) {});
    EXPECT_THROW(SignalWatch({SIGTERM}, [](int) {}), std::logic_error);
}

}  // namespace
}  // namespace sorvanta
