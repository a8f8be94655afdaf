#pragma once

#include <optional>

#include "protocol/udp_observation.h"

namespace sorvanta {

// The capacity and planned seconds of the lower-rate re-run of a first attempt that was
// limited by one of the Macs; absent when no re-run is due.
struct LowerRatePlan {
    double capacity = 0;
    double plannedSeconds = 0;
};

std::optional<LowerRatePlan> lowerRatePlan(const UDPObservation& first, double minimumCapacity);

}  // namespace sorvanta
