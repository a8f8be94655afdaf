#include "protocol/udp_lower_rate_plan.h"

#include <algorithm>
#include <cmath>

namespace sorvanta {

namespace {
constexpr double bitsPerDatagram = 1200.0 * 8.0;
constexpr double targetShare = 0.8;
constexpr double pacedShare = 0.75;
constexpr double largestRetryShare = 0.95;
constexpr double longestPlannedSeconds = 6.0;
}  // namespace

std::optional<UDPLowerRatePlan> lowerRatePlan(const UDPObservation& observation,
                                              double minimumCapacity) {
    if (observation.attempt != 0 || !observation.isLimited()) {
        return std::nullopt;
    }
    std::optional<double> rate;
    if (observation.receiverLimited() && observation.arrivalSpan > 0) {
        rate = static_cast<double>(observation.unique) * bitsPerDatagram / observation.arrivalSpan;
    }
    const double sendSeconds = observation.send.seconds;
    if (observation.senderLimited() && std::isfinite(sendSeconds) && sendSeconds > 0) {
        double sendRate =
            static_cast<double>(observation.send.accepted) * bitsPerDatagram / sendSeconds;
        if (!rate || sendRate < *rate) {
            rate = sendRate;
        }
    }
    if (!rate || !std::isfinite(*rate) || !(*rate > 0)) {
        return std::nullopt;
    }
    // std::round rounds halves away from zero.
    const double capacity = std::round(*rate * targetShare / pacedShare);
    if (!(capacity >= minimumCapacity) || !(largestRetryShare * observation.capacity >= capacity)) {
        return std::nullopt;
    }
    const double planned = std::min(observation.capacity * observation.plannedSeconds / capacity,
                                    longestPlannedSeconds);
    return UDPLowerRatePlan{capacity, planned};
}

}  // namespace sorvanta
