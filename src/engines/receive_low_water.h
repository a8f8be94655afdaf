#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace sorvanta {

// How many bytes a receiving data connection lets gather in the kernel before it wakes: what
// the stream brought in about `lag` seconds at the rate it had over the last interval
// (`bytes` in `seconds`), at most `ceiling`. A steady stream then wakes the reader a few
// hundred times a second at most instead of once per arrival, while counted bytes trail
// the wire by no more than `lag`; a stream that slows or stops wakes on every byte again
// from the next interval on.
struct ReceiveLowWater {
    static constexpr double lag = 0.010;
    static constexpr std::size_t ceiling = 256 * 1024;

    static constexpr std::size_t mark(std::uint64_t bytes, double seconds) {
        if (!(seconds > 0) || bytes == 0) {
            return 1;
        }
        const double wanted = static_cast<double>(bytes) / seconds * lag;
        if (!(wanted < static_cast<double>(ceiling))) {
            return ceiling;
        }
        return std::max<std::size_t>(static_cast<std::size_t>(wanted), 1);
    }
};

}  // namespace sorvanta
