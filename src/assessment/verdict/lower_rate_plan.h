#pragma once

#include <optional>

#include "protocol/udp_observation.h"

namespace sorvanta {

// The verdict explains a re-run with the very plan the two sequencers computed.
using LowerRatePlan = UDPObservation::Plan;

inline std::optional<LowerRatePlan> lowerRatePlan(const UDPObservation& first,
                                                  double minimumCapacity) {
    return first.lowerRatePlan(minimumCapacity);
}

}  // namespace sorvanta
