#include "engines/udp_pacer.h"

#include <algorithm>
#include <cmath>

#include "protocol/protocol_failure.h"

namespace sorvanta {

UDPPacer::UDPPacer(double capacity) {
    if (!std::isfinite(capacity) || !(capacity > 0)) {
        throw ProtocolFailure::malformed;
    }
    const double raw = capacity * offeredShare / bitsPerDatagram;
    packetsPerSecond = std::min(raw, maximumPacketsPerSecond);
    capped = raw > maximumPacketsPerSecond;
    const auto limit = static_cast<double>(largestBurst);
    burst = std::clamp<std::int64_t>(
        static_cast<std::int64_t>(std::min(packetsPerSecond * 0.001, limit)), 1, largestBurst);
    catchUp = std::max<std::int64_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(std::min(packetsPerSecond * 0.004, limit)),
                               largestBurst),
        burst);
}

std::int64_t UDPPacer::due(std::int64_t inFlight, std::int64_t attempted, double now) noexcept {
    if (!std::isfinite(now) || inFlight < 0 || inFlight > maximumInFlight || attempted < 0 ||
        attempted >= maximumAttempts) {
        return 0;
    }
    if (previous) {
        if (*previous > now) {
            return 0;
        }
        const double interval = now - *previous;
        if (maximumGap <= interval) {
            maximumGap = interval;
        }
        if (interval > gapThreshold) {
            ++gaps;
        }
    }
    previous = now;
    const double start = next.value_or(now);
    if (now < start) {
        return 0;
    }
    // The slot at `start` and every whole slot since, formed in double so that no huge span
    // overflows the integer.
    const double slots = std::floor((now - start) * packetsPerSecond) + 1;
    const auto owed =
        static_cast<std::int64_t>(std::min(slots, static_cast<double>(maximumAttempts)));
    const std::int64_t allowed =
        std::min({catchUp, owed, maximumInFlight - inFlight, maximumAttempts - attempted});
    if (allowed < owed) {
        discarded += owed - allowed;
        next = now + 1 / packetsPerSecond;
    } else {
        next = start + static_cast<double>(allowed) / packetsPerSecond;
    }
    return allowed;
}

}  // namespace sorvanta
