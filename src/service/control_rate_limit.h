#pragma once

#include <algorithm>
#include <cmath>
#include <optional>

namespace sorvanta {

// The receive rate limit of one control channel: a token bucket of 32 messages that refills
// at 16 per second, computed from the time of each message (no timer). A peer may send 32
// messages at once and then 16 a second; beyond that the channel is closed.
struct ControlRateLimit {
    static constexpr double capacity = 32.0;
    static constexpr double refillPerSecond = 16.0;

    double tokens = capacity;
    // Seconds since the service's epoch of the last message charged.
    std::optional<double> previous;

    // Charges one message received at `now`; false when it must be refused. A refused
    // message still moves the time base.
    bool charge(double now) {
        if (!std::isfinite(now)) {
            return false;
        }
        if (previous) {
            if (now < *previous) {
                return false;
            }
            tokens = std::min(capacity, tokens + (now - *previous) * refillPerSecond);
        }
        previous = now;
        if (tokens < 1.0) {
            return false;
        }
        tokens -= 1.0;
        return true;
    }
};

}  // namespace sorvanta
