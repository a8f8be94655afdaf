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

// The kernel as a test sets it up: what it refuses, and each change asked of it, in order.
class FakeScheduling final : public ThreadScheduling {
  public:
    explicit FakeScheduling(std::vector<std::string>& calls) : calls_(calls) { state.flags = 0; }

    bool realTimeAllowed = false;  // the thread may set a real-time policy itself
    bool sliceKept = true;         // a fair-policy slice is kept (kernels from 6.12 on)
    bool limitAllowed = true;
    SchedulingAttributes state;  // the thread's, as the kernel keeps it
    int nice = 3;
    std::uint64_t hardLimit = std::numeric_limits<std::uint64_t>::max();

    std::optional<SchedulingAttributes> read() override {
        SchedulingAttributes seen = state;
        const bool realTime = state.policy == SCHED_FIFO || state.policy == SCHED_RR;
        seen.nice = realTime ? 0 : nice;
        if (!realTime) {
            // A kernel that keeps slices reports the default one (some milliseconds) when
            // none was asked for; an older one reports none.
            seen.runtime = sliceKept ? (state.runtime != 0 ? state.runtime : 2'800'000) : 0;
        }
        return seen;
    }

    bool write(const SchedulingAttributes& wanted) override {
        const bool realTime = wanted.policy == SCHED_FIFO || wanted.policy == SCHED_RR;
        calls_.push_back(realTime ? "real-time" : wanted.runtime != 0 ? "slice" : "ordinary");
        if (realTime && !realTimeAllowed) {
            return false;
        }
        state = wanted;
        nice = wanted.nice;
        return true;
    }

    std::optional<int> niceness() override { return nice; }
    std::uint64_t threadId() override { return 4242; }

    std::optional<std::uint64_t> limitRealTimeRun(std::uint64_t microseconds) override {
        calls_.push_back("limit " + std::to_string(microseconds));
        if (!limitAllowed) {
            return std::nullopt;
        }
        hardLimit = std::min(hardLimit, microseconds);
        return hardLimit;
    }

  private:
    std::vector<std::string>& calls_;
};

// RealtimeKit as a test sets it up: it grants only to a process whose real-time threads
// may run no longer than it allows, and sets the thread's policy itself.
class FakeBroker final : public RealtimeBroker {
  public:
    FakeBroker(FakeScheduling& kernel, std::vector<std::string>& calls)
        : kernel_(kernel), calls_(calls) {}

    std::optional<Limits> offered = Limits{20, 200'000};
    bool grants = true;

    std::optional<Limits> limits() override {
        calls_.push_back("limits");
        return offered;
    }

    bool makeThreadRealtime(std::uint64_t thread, std::uint32_t priority) override {
        calls_.push_back("grant " + std::to_string(thread) + " at " + std::to_string(priority));
        if (!grants || !offered || kernel_.hardLimit > offered->runMicroseconds) {
            return false;
        }
        kernel_.state.policy = SCHED_RR;
        kernel_.state.priority = priority;
        kernel_.state.runtime = 0;
        kernel_.state.flags = resetOnForkFlag;
        return true;
    }

  private:
    FakeScheduling& kernel_;
    std::vector<std::string>& calls_;
};

TEST(PromptWakeups, AsksInOrderFallsThroughEachRefusalAndGivesItAllBack) {
    using Limits = RealtimeBroker::Limits;
    const std::vector<std::string> asked = {"real-time", "limits", "limit 200000",
                                            "grant 4242 at 1"};
    auto then = [](std::vector<std::string> calls, const std::string& more) {
        calls.push_back(more);
        return calls;
    };
    struct Case {
        const char* name;
        std::function<void(FakeScheduling&, FakeBroker*&)> setUp;
        WakeupPriority expected;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {"the thread may set real-time itself",
         [](auto& k, auto*&) { k.realTimeAllowed = true; },
         WakeupPriority::realTime,
         {"real-time"}},
        {"the broker grants it: no slice", [](auto&, auto*&) {}, WakeupPriority::realTime, asked},
        {"the broker refuses: the slice", [](auto&, auto*& b) { b->grants = false; },
         WakeupPriority::shortSlice, then(asked, "slice")},
        {"the broker refuses, the kernel ignores the slice",
         [](auto& k, auto*& b) {
             b->grants = false;
             k.sliceKept = false;
         },
         WakeupPriority::ordinary, then(asked, "slice")},
        {"no broker on the bus",
         [](auto&, auto*& b) { b->offered.reset(); },
         WakeupPriority::shortSlice,
         {"real-time", "limits", "slice"}},
        {"the broker grants no priority",
         [](auto&, auto*& b) {
             b->offered = Limits{0, 200'000};
         },
         WakeupPriority::shortSlice,
         {"real-time", "limits", "slice"}},
        {"the broker allows too short a run",
         [](auto&, auto*& b) {
             b->offered = Limits{20, 10'000};
         },
         WakeupPriority::shortSlice,
         {"real-time", "limits", "slice"}},
        {"the limit is refused",
         [](auto& k, auto*&) { k.limitAllowed = false; },
         WakeupPriority::shortSlice,
         {"real-time", "limits", "limit 200000", "slice"}},
        {"no broker at all",
         [](auto&, auto*& b) { b = nullptr; },
         WakeupPriority::shortSlice,
         {"real-time", "slice"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> calls;
        FakeScheduling kernel(calls);
        FakeBroker broker(kernel, calls);
        FakeBroker* asking = &broker;
        c.setUp(kernel, asking);
        PromptWakeups wakeups(kernel, asking);

        EXPECT_EQ(wakeups.set(true), c.expected) << c.name;
        EXPECT_EQ(calls, c.calls) << c.name;
        EXPECT_EQ(kernel.state.flags, resetOnForkFlag) << c.name << ": threads it starts";

        // Back to ordinary: the policy, the niceness and the default slice the thread had.
        calls.clear();
        EXPECT_EQ(wakeups.set(false), WakeupPriority::ordinary) << c.name;
        EXPECT_EQ(calls, std::vector<std::string>{"ordinary"}) << c.name;
        EXPECT_EQ(kernel.state.policy, static_cast<std::uint32_t>(SCHED_OTHER)) << c.name;
        EXPECT_EQ(kernel.state.priority, 0u) << c.name;
        EXPECT_EQ(kernel.state.runtime, 0u) << c.name;
        EXPECT_EQ(kernel.nice, 3) << c.name;
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
