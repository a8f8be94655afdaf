#pragma once

#include <cstdint>
#include <optional>

namespace sorvanta {

// A system service that gives a thread of an unprivileged process a real-time policy on its
// behalf, within limits it sets (RealtimeKit on a desktop). Each call may wait for the
// service, but only briefly; a service that is not there refuses.
class RealtimeBroker {
  public:
    struct Limits {
        // The highest real-time priority it grants.
        std::int32_t maxPriority = 0;
        // It grants only to processes whose real-time threads may run at most this long
        // without blocking (RLIMIT_RTTIME, soft and hard).
        std::uint64_t runMicroseconds = 0;
    };

    virtual ~RealtimeBroker() = default;

    virtual std::optional<Limits> limits() = 0;
    // Asks for the real-time policy at `priority` for thread `thread` of this process.
    virtual bool makeThreadRealtime(std::uint64_t thread, std::uint32_t priority) = 0;
};

}  // namespace sorvanta
