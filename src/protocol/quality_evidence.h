#pragma once

#include <optional>
#include <string>
#include <vector>

#include "protocol/ethernet_run_evidence.h"
#include "protocol/udp_observation.h"
#include "support/uuid.h"

namespace sorvanta {

// The run's Ethernet and UDP evidence, kept in the run snapshot; never sent as one piece.
struct QualityEvidence {
    // The control session the evidence belongs to.
    std::optional<Uuid> session;
    std::vector<EthernetRunEvidence> ethernet;
    std::vector<UDPObservation> udp;
    // Why evidence is missing.
    std::optional<std::string> reason;
    // Gathering has finished.
    bool complete = false;

    bool operator==(const QualityEvidence&) const = default;
};

}  // namespace sorvanta
