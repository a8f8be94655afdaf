#pragma once

#include <optional>

#include "protocol/udp_observation.h"

namespace sorvanta {

// A lower-rate re-run of a UDP probe leg: the capacity to pace against (bits per second)
// and the planned seconds.
struct UDPLowerRatePlan {
    double capacity = 0;
    double plannedSeconds = 0;

    bool operator==(const UDPLowerRatePlan&) const = default;
};

// Whether a rate-limited first attempt is worth running again, and at which rate: aims at
// 0.8 of the rate achieved (the pacer offers 0.75 of a capacity), at least
// `minimumCapacity` and at most 0.95 of the first capacity, keeping the planned amount of
// data over at most 6 s. Both computers derive the plan from the same observation with
// this one function, so the doubles they compare are bit-identical.
std::optional<UDPLowerRatePlan> lowerRatePlan(const UDPObservation& observation,
                                              double minimumCapacity);

}  // namespace sorvanta
