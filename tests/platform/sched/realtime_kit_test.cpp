#include "platform/sched/realtime_kit.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "lab/private_bus.h"
#include "platform/net/prompt_wakeups.h"
#include "platform/sched/thread_scheduling.h"

namespace sorvanta {
namespace {

constexpr const char* name = "org.freedesktop.RealtimeKit1";
constexpr const char* path = "/org/freedesktop/RealtimeKit1";

// Grants as RealtimeKit does: only to a process whose real-time threads may run no longer
// than it allows without blocking, and then it sets the thread's policy itself.
constexpr const char* grantAsRealtimeKit = R"(import os
hard = [l.split()[4] for l in open('/proc/%d/limits' % args[0])
        if l.startswith('Max realtime timeout')][0]
if hard == 'unlimited' or int(hard) > 200000:
    raise dbus.exceptions.DBusException('RLIMIT_RTTIME', name='org.freedesktop.DBus.Error.AccessDenied')
os.sched_setscheduler(args[0], os.SCHED_RR | os.SCHED_RESET_ON_FORK, os.sched_param(args[1]))
)";

class RealtimeKitOnABus : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0 || !testing::PrivateBus::available()) {
            GTEST_SKIP() << "needs root, dbus-daemon and python3-dbusmock";
        }
        bus_ = std::make_unique<testing::PrivateBus>();
        ASSERT_FALSE(bus_->address().empty());
    }

    // The service, granting `granting` (Python run for each request).
    void startService(const char* granting) {
        ASSERT_TRUE(bus_->mock(std::string("--system ") + name + " " + path + " " + name, name));
        const auto mock = [&](const char* member, const char* types, auto... values) {
            return sd_bus_call_method(bus_->bus(), name, path, "org.freedesktop.DBus.Mock", member,
                                      nullptr, nullptr, types, values...);
        };
        ASSERT_GE(mock("AddProperty", "ssv", name, "MaxRealtimePriority", "i", 20), 0);
        ASSERT_GE(mock("AddProperty", "ssv", name, "RTTimeUSecMax", "x", std::int64_t{200'000}), 0);
        ASSERT_GE(mock("AddMethod", "sssss", name, "MakeThreadRealtime", "tu", "", granting), 0);
    }

    std::unique_ptr<testing::PrivateBus> bus_;
};

// What an unprivileged thread of this process gets from the service, and what it gives
// back: empty, or what went wrong.
std::string grantAndGiveBack(RealtimeKit& kit) {
    std::string wrong;
    std::thread([&] {
        constexpr long nobody = 65534;
        if (::syscall(SYS_setresgid, nobody, nobody, nobody) != 0 ||
            ::syscall(SYS_setresuid, nobody, nobody, nobody) != 0) {
            wrong = "could not become nobody";
            return;
        }
        KernelThreadScheduling kernel;
        PromptWakeups wakeups(kernel, &kit);
        rlimit limit{};
        if (wakeups.set(true) != WakeupPriority::realTime) {
            wrong += "not real-time; ";
        }
        // The service's policy, not the one the thread may not set itself.
        if (::sched_getscheduler(0) != (SCHED_RR | SCHED_RESET_ON_FORK)) {
            wrong += "not the service's policy; ";
        }
        if (::getrlimit(RLIMIT_RTTIME, &limit) != 0 || limit.rlim_cur != 200'000 ||
            limit.rlim_max != 200'000) {
            wrong += "not the service's limit; ";
        }
        if (wakeups.set(false) != WakeupPriority::ordinary ||
            ::sched_getscheduler(0) != (SCHED_OTHER | SCHED_RESET_ON_FORK)) {
            wrong += "not given back; ";
        }
    }).join();
    return wrong;
}

// An unprivileged thread gets the real-time policy from the service, which checks the limit
// the process set for it, and gives it back by itself. The limit, once lowered, stays
// lowered for the process (raising it again takes a privilege that even a test run as root
// may lack), so the thread runs in a process of its own.
TEST_F(RealtimeKitOnABus, GrantsAnUnprivilegedThreadRealTimeAndItGivesItBack) {
    startService(grantAsRealtimeKit);
    RealtimeKit kit(bus_->address());
    EXPECT_EXIT(
        {
            const std::string wrong = grantAndGiveBack(kit);
            std::fputs(wrong.c_str(), stderr);
            std::_Exit(wrong.empty() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// Every way the service can fail a request is a quick refusal, never a long wait.
TEST_F(RealtimeKitOnABus, RefusesQuicklyWithoutABusAServiceOrAnAnswer) {
    using namespace std::chrono_literals;
    struct Case {
        const char* name;
        bool onBus;
        const char* granting;  // null: no service
    } cases[] = {
        {"no bus", false, nullptr},
        {"no service on the bus", true, nullptr},
        {"the limit not set (it is not, in a test process)", true, grantAsRealtimeKit},
        {"no answer", true, "import time\ntime.sleep(5)\n"},
    };
    for (const auto& c : cases) {
        if (c.onBus) {
            bus_ = std::make_unique<testing::PrivateBus>();
        }
        if (c.granting != nullptr) {
            startService(c.granting);
        }
        RealtimeKit kit(c.onBus ? bus_->address() : "unix:path=/nonexistent/bus", 100ms);
        const auto started = std::chrono::steady_clock::now();
        bool granted = true;
        int policy = -1;
        // Asked for a thread of its own, without the limit lowered.
        std::thread([&] {
            granted = kit.makeThreadRealtime(static_cast<std::uint64_t>(::syscall(SYS_gettid)), 1);
            policy = ::sched_getscheduler(0);
        }).join();
        EXPECT_FALSE(granted) << c.name;
        EXPECT_EQ(policy, SCHED_OTHER) << c.name;
        EXPECT_LT(std::chrono::steady_clock::now() - started, 2s) << c.name;
    }
}

}  // namespace
}  // namespace sorvanta
