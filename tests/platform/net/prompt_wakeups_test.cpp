#include "platform/net/prompt_wakeups.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "platform/sched/realtime_broker.h"
#include "platform/sched/thread_scheduling.h"

namespace sorvanta {
namespace {

// The kernel and the broker (RealtimeKit) as a test sets them up: what each refuses, and each
// change asked of them, in order. Like RealtimeKit, the broker grants only to a process whose
// real-time threads may run no longer than it allows, and sets the thread's policy itself.
struct FakeMachine final : ThreadScheduling, RealtimeBroker {
    bool realTimeAllowed = false;  // the thread may set a real-time policy itself
    bool limitAllowed = true;
    std::optional<Limits> offered = Limits{20, 200'000};  // none: no broker on the bus
    bool grants = true;
    bool sliceKept = true;  // a fair-policy slice is kept (kernels from 6.12 on)

    SchedulingAttributes state;  // the thread's, as the kernel keeps it
    int nice = 3;
    std::uint64_t hardLimit = std::numeric_limits<std::uint64_t>::max();
    std::vector<std::string> calls;

    static bool realTime(const SchedulingAttributes& a) {
        return a.policy == SCHED_FIFO || a.policy == SCHED_RR;
    }
    std::optional<SchedulingAttributes> read() override {
        SchedulingAttributes seen = state;
        seen.nice = realTime(state) ? 0 : nice;
        // A kernel that keeps slices reports the default one when none was asked for; an
        // older one reports none.
        if (!realTime(state)) {
            seen.runtime = sliceKept ? (state.runtime != 0 ? state.runtime : 2'800'000) : 0;
        }
        return seen;
    }
    bool write(const SchedulingAttributes& wanted) override {
        calls.push_back(realTime(wanted)      ? "real-time"
                        : wanted.runtime != 0 ? "slice"
                                              : "ordinary");
        if (realTime(wanted) && !realTimeAllowed) {
            return false;
        }
        state = wanted;
        nice = wanted.nice;
        return true;
    }
    std::optional<int> niceness() override { return nice; }
    std::uint64_t threadId() override { return 4242; }
    std::optional<std::uint64_t> limitRealTimeRun(std::uint64_t microseconds) override {
        calls.push_back("limit " + std::to_string(microseconds));
        hardLimit = limitAllowed ? std::min(hardLimit, microseconds) : hardLimit;
        return limitAllowed ? std::optional(hardLimit) : std::nullopt;
    }

    std::optional<Limits> limits() override {
        calls.push_back("limits");
        return offered;
    }
    bool makeThreadRealtime(std::uint64_t thread, std::uint32_t priority) override {
        calls.push_back("grant " + std::to_string(thread) + " at " + std::to_string(priority));
        if (!grants || !offered || hardLimit > offered->runMicroseconds) {
            return false;
        }
        state = {};
        state.policy = SCHED_RR;
        state.priority = priority;
        state.flags = resetOnForkFlag;
        return true;
    }
};

TEST(PromptWakeups, AsksInOrderFallsThroughEachRefusalAndGivesItAllBack) {
    using Limits = RealtimeBroker::Limits;
    using Calls = std::vector<std::string>;
    const Calls byItself = {"real-time"};
    const Calls granted = {"real-time", "limits", "limit 200000", "grant 4242 at 1"};
    Calls refused = granted;
    refused.push_back("slice");
    const Calls notAsked = {"real-time", "limits", "slice"};
    const Calls limitRefused = {"real-time", "limits", "limit 200000", "slice"};
    const Calls noBroker = {"real-time", "slice"};
    const Limits usual{20, 200'000};
    const auto realTime = WakeupPriority::realTime, slice = WakeupPriority::shortSlice,
               ordinary = WakeupPriority::ordinary;
    struct Case {
        const char* name;
        bool realTimeAllowed, hasBroker;
        std::optional<Limits> offered;
        bool grants, limitAllowed, sliceKept;
        WakeupPriority expected;
        const Calls& calls;
    } cases[] = {
        {"real-time by itself", true, true, usual, true, true, true, realTime, byItself},
        {"granted: no slice", false, true, usual, true, true, true, realTime, granted},
        {"refused: the slice", false, true, usual, false, true, true, slice, refused},
        {"refused, the slice ignored", false, true, usual, false, true, false, ordinary, refused},
        {"no broker on the bus", false, true, std::nullopt, true, true, true, slice, notAsked},
        {"no priority to grant", false, true, Limits{0, 200'000}, true, true, true, slice,
         notAsked},
        {"too short a run", false, true, Limits{20, 10'000}, true, true, true, slice, notAsked},
        {"the limit refused", false, true, usual, true, false, true, slice, limitRefused},
        {"no broker", false, false, usual, true, true, true, slice, noBroker},
    };
    for (const auto& c : cases) {
        FakeMachine machine;
        machine.realTimeAllowed = c.realTimeAllowed;
        machine.offered = c.offered;
        machine.grants = c.grants;
        machine.limitAllowed = c.limitAllowed;
        machine.sliceKept = c.sliceKept;
        PromptWakeups wakeups(machine, c.hasBroker ? &machine : nullptr);

        EXPECT_EQ(wakeups.set(true), c.expected) << c.name;
        EXPECT_EQ(machine.calls, c.calls) << c.name;
        EXPECT_EQ(machine.state.flags, resetOnForkFlag) << c.name << ": threads it starts";

        // Back to ordinary: the policy, the niceness and the default slice the thread had.
        machine.calls.clear();
        EXPECT_EQ(wakeups.set(false), WakeupPriority::ordinary) << c.name;
        EXPECT_EQ(machine.calls, Calls{"ordinary"}) << c.name;
        EXPECT_EQ(machine.state.policy, static_cast<std::uint32_t>(SCHED_OTHER)) << c.name;
        EXPECT_EQ(machine.state.runtime, 0u) << c.name;
        EXPECT_EQ(machine.nice, 3) << c.name;
    }
}

// Whether the running kernel keeps a slice asked for under the fair policy (6.12 on), told
// by its release rather than by the calls under test.
bool kernelKeepsFairSlices() {
    utsname name{};
    int major = 0, minor = 0;
    if (::uname(&name) != 0 || std::sscanf(name.release, "%d.%d", &major, &minor) != 2) {
        return false;
    }
    return major > 6 || (major == 6 && minor >= 12);
}

// What one thread gets, run on a thread of its own: the calls change only the calling thread.
struct Seen {
    WakeupPriority prompt = WakeupPriority::ordinary;
    WakeupPriority child = WakeupPriority::ordinary;
    WakeupPriority back = WakeupPriority::ordinary;
    int niceBefore = 0, niceAfter = 0;
};

Seen onThread(bool asNobody, const std::function<WakeupPriority(bool)>& set) {
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
        seen.prompt = set(true);
        EXPECT_EQ(currentWakeupPriority(), seen.prompt);
        std::thread([&] { seen.child = currentWakeupPriority(); }).join();
        seen.back = set(false);
        seen.niceAfter = ::getpriority(PRIO_PROCESS, 0);
    }).join();
    return seen;
}

TEST(PromptWakeups, TakeWhatTheThreadMayHaveAndGiveItBack) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to compare a privileged thread with an unprivileged one";
    }
    // The unprivileged thread asks no broker: what the kernel alone gives it.
    auto withoutBroker = [](bool prompt) {
        KernelThreadScheduling kernel;
        return PromptWakeups(kernel, nullptr).set(prompt);
    };
    struct Case {
        const char* name;
        bool asNobody;
        std::function<WakeupPriority(bool)> set;
        WakeupPriority prompt;
    };
    const Case cases[] = {
        {"privileged: real-time policy", false, setPromptWakeups, WakeupPriority::realTime},
        {"unprivileged: refused quietly, the short slice where the kernel keeps it", true,
         withoutBroker,
         kernelKeepsFairSlices() ? WakeupPriority::shortSlice : WakeupPriority::ordinary},
    };
    for (const auto& c : cases) {
        const Seen seen = onThread(c.asNobody, c.set);
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
