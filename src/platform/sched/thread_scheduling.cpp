#include "platform/sched/thread_scheduling.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace sorvanta {

std::optional<SchedulingAttributes> KernelThreadScheduling::read() {
    SchedulingAttributes attributes{};
    if (::syscall(SYS_sched_getattr, 0, &attributes, sizeof attributes, 0) != 0) {
        return std::nullopt;
    }
    return attributes;
}

bool KernelThreadScheduling::write(const SchedulingAttributes& attributes) {
    SchedulingAttributes copy = attributes;
    copy.size = sizeof copy;
    return ::syscall(SYS_sched_setattr, 0, &copy, 0) == 0;
}

std::optional<int> KernelThreadScheduling::niceness() {
    // -1 is a niceness as well as the error value.
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, 0);
    return errno == 0 ? std::optional(nice) : std::nullopt;
}

std::uint64_t KernelThreadScheduling::threadId() {
    return static_cast<std::uint64_t>(::syscall(SYS_gettid));
}

std::optional<std::uint64_t> KernelThreadScheduling::limitRealTimeRun(std::uint64_t microseconds) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_RTTIME, &limit) != 0) {
        return std::nullopt;
    }
    const rlimit wanted{std::min<rlim_t>(limit.rlim_cur, microseconds),
                        std::min<rlim_t>(limit.rlim_max, microseconds)};
    if (wanted.rlim_cur != limit.rlim_cur || wanted.rlim_max != limit.rlim_max) {
        if (::setrlimit(RLIMIT_RTTIME, &wanted) != 0) {
            return std::nullopt;
        }
    }
    return wanted.rlim_max;
}

}  // namespace sorvanta
