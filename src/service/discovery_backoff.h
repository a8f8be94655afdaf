#pragma once

#include <algorithm>
#include <cstdint>

namespace sorvanta {

// The wait before discovery is restarted after the listener or browser failed: 2 s, doubling
// to at most 30 s, back to 2 s once both run (or on Search Again).
struct DiscoveryBackoff {
    static constexpr std::uint64_t initialSeconds = 2;
    static constexpr std::uint64_t maximumSeconds = 30;

    std::uint64_t seconds = initialSeconds;

    // The delay of the restart being scheduled now; the next one waits longer.
    std::uint64_t take() {
        const std::uint64_t delay = seconds;
        seconds = std::min(seconds * 2, maximumSeconds);
        return delay;
    }
    void reset() { seconds = initialSeconds; }
};

}  // namespace sorvanta
