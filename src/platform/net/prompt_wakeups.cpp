#include "platform/net/prompt_wakeups.h"

#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace sorvanta {

namespace {

// The kernel's scheduling attributes (its first layout, which every kernel that has the call
// accepts); the C library of our distribution does not declare them.
struct SchedulingAttributes {
    std::uint32_t size = sizeof(SchedulingAttributes);
    std::uint32_t policy = SCHED_OTHER;
    std::uint64_t flags = 0;
    std::int32_t nice = 0;
    std::uint32_t priority = 0;
    std::uint64_t runtime = 0;  // nanoseconds; for the fair policy, the slice asked for
    std::uint64_t deadline = 0;
    std::uint64_t period = 0;
};
static_assert(sizeof(SchedulingAttributes) == 48);

constexpr std::uint64_t resetOnFork = 0x01;

// Slices shorter than this are ones a thread asked for; the fair scheduler's default is
// longer, and its shortest is 0.1 ms.
constexpr std::uint64_t shortSlice = 100'000;  // nanoseconds

bool readAttributes(SchedulingAttributes& attributes) {
    attributes = {};
    return ::syscall(SYS_sched_getattr, 0, &attributes, sizeof attributes, 0) == 0;
}

bool writeAttributes(SchedulingAttributes attributes) {
    attributes.size = sizeof attributes;
    return ::syscall(SYS_sched_setattr, 0, &attributes, 0) == 0;
}

}  // namespace

WakeupPriority setPromptWakeups(bool prompt) {
    SchedulingAttributes current{};
    if (!readAttributes(current)) {
        return WakeupPriority::ordinary;
    }
    SchedulingAttributes wanted{};
    // The thread's niceness is kept, so that going back to ordinary restores it. The kernel
    // reports none for a real-time thread, but keeps it, and tells it here.
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, 0);
    wanted.nice = errno == 0 ? nice : current.nice;
    wanted.flags = resetOnFork;
    if (prompt) {
        wanted.policy = SCHED_FIFO;
        wanted.priority = 1;
        if (writeAttributes(wanted)) {
            return WakeupPriority::realTime;
        }
        // Refused (no privilege, or no real-time time in this control group): the short slice
        // needs no privilege on kernels that know it and is ignored by older ones.
        wanted.policy = SCHED_OTHER;
        wanted.priority = 0;
        wanted.runtime = shortSlice;
        writeAttributes(wanted);
        return currentWakeupPriority();
    }
    wanted.policy = SCHED_OTHER;
    writeAttributes(wanted);  // a zero runtime gives the default slice back
    return currentWakeupPriority();
}

WakeupPriority currentWakeupPriority() {
    SchedulingAttributes attributes{};
    if (!readAttributes(attributes)) {
        return WakeupPriority::ordinary;
    }
    if (attributes.policy == SCHED_FIFO || attributes.policy == SCHED_RR) {
        return WakeupPriority::realTime;
    }
    if (attributes.policy == SCHED_OTHER && attributes.runtime != 0 &&
        attributes.runtime <= shortSlice) {
        return WakeupPriority::shortSlice;
    }
    return WakeupPriority::ordinary;
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
