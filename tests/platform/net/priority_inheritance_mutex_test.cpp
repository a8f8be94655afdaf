#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "platform/net/priority_inheritance_mutex.h"
#include "platform/net/prompt_wakeups.h"

namespace sorvanta {
namespace {

// The calling thread's effective priority as the kernel reports it: 20 for an ordinary thread
// of niceness 0 (more when nicer), below 0 while it runs with a real-time priority (its own or one inherited).
int effectivePriority() {
    std::ifstream file("/proc/thread-self/stat");
    const std::string stat{std::istreambuf_iterator<char>(file), {}};
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    for (int i = 3; i <= 18 && fields >> field; ++i) {  // field 18 is the priority
    }
    return std::stoi(field);
}

// An ordinary thread holds the lock while a real-time thread waits for it: the holder runs
// with the waiter's priority until it lets go, and as before afterwards. Returns the holder's
// priority during the wait and how it changed from before the lock to after it.
template <typename Mutex>
std::pair<int, int> holderPriorityWhileAPromptThreadWaits() {
    Mutex mutex;
    std::atomic<bool> held{false}, waiting{false};
    int before = 0, during = 0, after = 0;
    std::thread holder([&] {
        before = effectivePriority();
        std::unique_lock lock(mutex);
        held = true;
        while (!waiting) {
            std::this_thread::yield();
        }
        // The waiter is about to block; give it time to, then read what this thread has.
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        during = effectivePriority();
        while (during >= 0 && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            during = effectivePriority();
        }
        lock.unlock();
        after = effectivePriority();
    });
    std::thread waiter([&] {
        while (!held) {
            std::this_thread::yield();
        }
        // Real-time only now: spinning as one could shut the holder out of a shared CPU.
        setPromptWakeups(true);
        waiting = true;
        std::lock_guard lock(mutex);
    });
    waiter.join();
    holder.join();
    return {during, after - before};
}

TEST(PriorityInheritanceMutex, LendsAWaitingPromptThreadsPriorityToTheHolder) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs a real-time thread";
    }
    const auto [during, change] =
        holderPriorityWhileAPromptThreadWaits<PriorityInheritanceMutex>();
    EXPECT_LT(during, 0) << "the holder kept its ordinary priority";
    EXPECT_EQ(change, 0) << "the holder kept the lent priority after letting go";
}

TEST(PriorityInheritanceMutex, ExcludesLikeAnyMutex) {
    PriorityInheritanceMutex mutex;
    long counter = 0;
    auto add = [&] {
        for (int i = 0; i < 100000; ++i) {
            std::lock_guard lock(mutex);
            ++counter;
        }
    };
    std::thread one(add), two(add);
    one.join();
    two.join();
    EXPECT_EQ(counter, 200000);
    ASSERT_TRUE(mutex.try_lock());
    std::atomic<bool> other{true};
    std::thread([&] { other = mutex.try_lock(); }).join();
    EXPECT_FALSE(other) << "try_lock while another thread holds it";
    mutex.unlock();
}

}  // namespace
}  // namespace sorvanta
