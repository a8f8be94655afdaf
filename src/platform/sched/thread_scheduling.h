#pragma once

#include <cstdint>
#include <optional>

namespace sorvanta {

// The kernel's scheduling attributes of a thread, in the call's first layout (which every
// kernel that has the call accepts); the C library of our distribution does not declare them.
struct SchedulingAttributes {
    std::uint32_t size = sizeof(SchedulingAttributes);
    std::uint32_t policy = 0;  // SCHED_OTHER
    std::uint64_t flags = 0;
    std::int32_t nice = 0;
    std::uint32_t priority = 0;
    // Nanoseconds. Under the fair policy, the slice the thread asked for; kernels before 6.12
    // ignore it there and report 0, newer ones report the slice the thread has.
    std::uint64_t runtime = 0;
    std::uint64_t deadline = 0;
    std::uint64_t period = 0;
};
static_assert(sizeof(SchedulingAttributes) == 48);

// Children of a thread with this flag start with the ordinary policy and niceness.
constexpr std::uint64_t resetOnForkFlag = 0x01;

// How the calling thread is scheduled, as the kernel keeps it: the calls that asking for
// prompt wake-ups makes, so that the order of asking can be checked without the rights and
// the kernel each step needs.
class ThreadScheduling {
  public:
    virtual ~ThreadScheduling() = default;

    virtual std::optional<SchedulingAttributes> read() = 0;
    // False when the kernel refuses.
    virtual bool write(const SchedulingAttributes& attributes) = 0;
    // The thread's niceness, which the kernel keeps while the thread runs real-time, but
    // then reports as 0 in read().
    virtual std::optional<int> niceness() = 0;
    // The thread's id, as other processes name it.
    virtual std::uint64_t threadId() = 0;
    // Limits how long a real-time thread of this process may run without blocking to at
    // most `microseconds`, soft and hard (a lower limit in place stays); returns the hard
    // limit now in force, or nothing when refused. A hard limit once lowered stays lowered.
    virtual std::optional<std::uint64_t> limitRealTimeRun(std::uint64_t microseconds) = 0;
};

// The calling thread's scheduling through the kernel's own calls.
class KernelThreadScheduling final : public ThreadScheduling {
  public:
    std::optional<SchedulingAttributes> read() override;
    bool write(const SchedulingAttributes& attributes) override;
    std::optional<int> niceness() override;
    std::uint64_t threadId() override;
    std::optional<std::uint64_t> limitRealTimeRun(std::uint64_t microseconds) override;
};

}  // namespace sorvanta
