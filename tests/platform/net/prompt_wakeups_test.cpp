#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "platform/net/prompt_wakeups.h"

namespace sorvanta {
namespace {

// What one thread gets, run on a thread of its own: the calls change only the calling thread.
struct Seen {
    WakeupPriority prompt = WakeupPriority::ordinary;
    WakeupPriority child = WakeupPriority::ordinary;
    WakeupPriority back = WakeupPriority::ordinary;
    int niceBefore = 0, niceAfter = 0;
};

Seen onThread(bool asNobody) {
    Seen seen;
    std::thread([&] {
        // Only this thread drops its rights (the raw calls, not the C library's process-wide
        // ones), and a little niceness that going back to ordinary must keep.
        ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), 3);
        if (asNobody) {
            constexpr long nobody = 65534;
            ASSERT_EQ(::syscall(SYS_setresgid, nobody, nobody, nobody), 0);
            ASSERT_EQ(::syscall(SYS_setresuid, nobody, nobody, nobody), 0);
        }
        seen.niceBefore = ::getpriority(PRIO_PROCESS, 0);
        seen.prompt = setPromptWakeups(true);
        EXPECT_EQ(currentWakeupPriority(), seen.prompt);
        std::thread([&] { seen.child = currentWakeupPriority(); }).join();
        seen.back = setPromptWakeups(false);
        seen.niceAfter = ::getpriority(PRIO_PROCESS, 0);
    }).join();
    return seen;
}

TEST(PromptWakeups, TakeWhatTheThreadMayHaveAndGiveItBack) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to compare a privileged thread with an unprivileged one";
    }
    struct Case {
        const char* name;
        bool asNobody;
        WakeupPriority prompt;
    };
    const Case cases[] = {
        {"privileged: real-time policy", false, WakeupPriority::realTime},
        {"unprivileged: refused quietly, the short slice instead", true,
         WakeupPriority::shortSlice},
    };
    for (const auto& c : cases) {
        const Seen seen = onThread(c.asNobody);
        EXPECT_EQ(seen.prompt, c.prompt) << c.name;
        EXPECT_EQ(seen.child, WakeupPriority::ordinary) << c.name << ": threads it starts";
        EXPECT_EQ(seen.back, WakeupPriority::ordinary) << c.name;
        EXPECT_EQ(seen.niceAfter, seen.niceBefore) << c.name;
        EXPECT_EQ(seen.niceAfter, 3) << c.name;
    }
}

TEST(PromptWakeups, TurningOffAnOrdinaryThreadLeavesItOrdinary) {
    WakeupPriority seen = WakeupPriority::realTime;
    std::thread([&] { seen = setPromptWakeups(false); }).join();
    EXPECT_EQ(seen, WakeupPriority::ordinary);
}

}  // namespace
}  // namespace sorvanta
