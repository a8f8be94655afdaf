#include "platform/net/prompt_wakeups.h"

#include <sched.h>

#include "platform/sched/realtime_broker.h"
#include "platform/sched/realtime_kit.h"
#include "platform/sched/thread_scheduling.h"

namespace sorvanta {

namespace {

// Slices up to this long are ones a thread asked for; the fair scheduler's default is
// longer, and its shortest is 0.1 ms.
constexpr std::uint64_t shortSlice = 100'000;  // nanoseconds

// The real-time priority asked for: the lowest, above every ordinary thread and below any
// real-time thread the system has for its own work.
constexpr std::uint32_t realTimePriority = 1;

// A broker that allows a real-time thread less time than this without blocking is not asked:
// a tick held up by a page fault or a busy lock could cost the whole process.
constexpr std::uint64_t shortestRealTimeRun = 50'000;  // microseconds

}  // namespace

WakeupPriority PromptWakeups::set(bool prompt) {
    const auto current = scheduling_.read();
    if (!current) {
        return WakeupPriority::ordinary;
    }
    SchedulingAttributes wanted{};
    // The thread's niceness is kept, so that going back to ordinary restores it. The kernel
    // reports none for a real-time thread, but keeps it.
    wanted.nice = scheduling_.niceness().value_or(current->nice);
    wanted.flags = resetOnForkFlag;
    if (prompt) {
        wanted.policy = SCHED_FIFO;
        wanted.priority = realTimePriority;
        if (scheduling_.write(wanted)) {
            return WakeupPriority::realTime;
        }
        // Refused (no privilege, or no real-time time in this control group).
        if (askBroker() && this->current() == WakeupPriority::realTime) {
            return WakeupPriority::realTime;
        }
        wanted.policy = SCHED_OTHER;
        wanted.priority = 0;
        wanted.runtime = shortSlice;
        scheduling_.write(wanted);
        // Kernels that ignore the slice accept it all the same; only reading it back tells.
        return this->current();
    }
    wanted.policy = SCHED_OTHER;
    scheduling_.write(wanted);  // a zero runtime gives the default slice back
    return this->current();
}

bool PromptWakeups::askBroker() {
    if (broker_ == nullptr) {
        return false;
    }
    const auto limits = broker_->limits();
    if (!limits || limits->maxPriority < static_cast<std::int32_t>(realTimePriority) ||
        limits->runMicroseconds < shortestRealTimeRun) {
        return false;
    }
    // The broker grants only to a process whose real-time threads cannot run away.
    const auto limit = scheduling_.limitRealTimeRun(limits->runMicroseconds);
    if (!limit || *limit < shortestRealTimeRun) {
        return false;
    }
    return broker_->makeThreadRealtime(scheduling_.threadId(), realTimePriority);
}

WakeupPriority PromptWakeups::current() {
    const auto attributes = scheduling_.read();
    if (!attributes) {
        return WakeupPriority::ordinary;
    }
    if (attributes->policy == SCHED_FIFO || attributes->policy == SCHED_RR) {
        return WakeupPriority::realTime;
    }
    if (attributes->policy == SCHED_OTHER && attributes->runtime != 0 &&
        attributes->runtime <= shortSlice) {
        return WakeupPriority::shortSlice;
    }
    return WakeupPriority::ordinary;
}

WakeupPriority setPromptWakeups(bool prompt) {
    // One for the process: it remembers a bus or service found missing.
    static RealtimeKit realtimeKit;
    KernelThreadScheduling scheduling;
    return PromptWakeups(scheduling, &realtimeKit).set(prompt);
}

WakeupPriority currentWakeupPriority() {
    KernelThreadScheduling scheduling;
    return PromptWakeups(scheduling, nullptr).current();
}

const char* toString(WakeupPriority priority) {
    switch (priority) {
        case WakeupPriority::ordinary:
            return "ordinary";
        case WakeupPriority::shortSlice:
            return "short slice";
        case WakeupPriority::realTime:
            return "real-time";
    }
    return "ordinary";
}

}  // namespace sorvanta
