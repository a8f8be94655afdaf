#include <algorithm>
#include <cmath>

#include "protocol/udp_observation.h"

namespace sorvanta {

namespace {

constexpr double bitsPerDatagram = static_cast<double>(UDPSendSummary::datagramBytes) * 8.0;
// The pacer offers this share of a capacity; a re-run offers this share of what was achieved.
constexpr double pacedShare = 0.75;
constexpr double retryShare = 0.8;
// A re-run must pace at least 5 % below the first attempt.
constexpr double largestRetryShareOfCapacity = 0.95;

}  // namespace

std::optional<UDPObservation::Plan> UDPObservation::lowerRatePlan(
    double minimumCapacity) const noexcept {
    if (attempt != 0 || !isLimited()) {
        return std::nullopt;
    }
    std::optional<double> rate;
    if (receiverLimited() && arrivalSpan > 0) {
        rate = static_cast<double>(unique) * bitsPerDatagram / arrivalSpan;
    }
    if (senderLimited() && std::isfinite(send.seconds) && send.seconds > 0) {
        const double senderRate =
            static_cast<double>(send.accepted) * bitsPerDatagram / send.seconds;
        if (!rate || senderRate < *rate) {
            rate = senderRate;
        }
    }
    if (!rate || !std::isfinite(*rate) || !(*rate > 0)) {
        return std::nullopt;
    }
    // std::round takes halves away from zero.
    const double retry = std::round(*rate * retryShare / pacedShare);
    if (!(retry >= minimumCapacity) || !(largestRetryShareOfCapacity * capacity >= retry)) {
        return std::nullopt;
    }
    return Plan{retry, std::min(capacity * plannedSeconds / retry, maximumPlannedSeconds)};
}

}  // namespace sorvanta
