#include "assessment/lower_rate_plan.h"

#include <algorithm>
#include <cmath>

namespace sorvanta {
namespace {

// The re-run offers this share of the rate achieved; the pacer offers `pacedShare` of a
// capacity.
constexpr double retryShare = 0.8;
constexpr double pacedShare = 0.75;
constexpr double highestCapacityShare = 0.95;
constexpr double datagramBits = UDPSendSummary::datagramBytes * 8.0;

}  // namespace

std::optional<LowerRatePlan> lowerRatePlan(const UDPObservation& first, double minimumCapacity) {
    if (first.attempt != 0 || !first.isLimited()) {
        return std::nullopt;
    }
    std::optional<double> achieved;
    if (first.receiverLimited() && first.arrivalSpan > 0) {
        achieved = static_cast<double>(first.unique) * datagramBits / first.arrivalSpan;
    }
    const double sendSeconds = first.send.seconds;
    if (first.senderLimited() && std::isfinite(sendSeconds) && sendSeconds > 0) {
        const double sent = static_cast<double>(first.send.accepted) * datagramBits / sendSeconds;
        if (!achieved || sent < *achieved) {
            achieved = sent;
        }
    }
    if (!achieved || !std::isfinite(*achieved) || !(*achieved > 0)) {
        return std::nullopt;
    }
    const double capacity = std::round(*achieved * retryShare / pacedShare);
    if (!(capacity >= minimumCapacity) || !(highestCapacityShare * first.capacity >= capacity)) {
        return std::nullopt;
    }
    return LowerRatePlan{capacity, std::min(first.capacity * first.plannedSeconds / capacity,
                                            UDPObservation::maximumPlannedSeconds)};
}

}  // namespace sorvanta
