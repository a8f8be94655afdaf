#pragma once

#include <optional>

#include "engines/udp_leg_state.h"
#include "protocol/udp_observation.h"

namespace sorvanta::udp_leg_result {

// The observation of a leg that completed: built on the receiving side at time `now`, once
// the sender's summary has been in for the tail wait. Needs `state.senderSummary`.
UDPObservation completed(const UdpLegFacts& facts, const UdpLegState& state, double now);

// The observation of a leg that was interrupted, on either side, from whatever the side
// holds at `now`; absent when neither the readiness datagram arrived nor sending began.
std::optional<UDPObservation> interrupted(const UdpLegFacts& facts, const UdpLegState& state,
                                          double now);

}  // namespace sorvanta::udp_leg_result
