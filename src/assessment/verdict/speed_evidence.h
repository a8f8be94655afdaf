#pragma once

#include <optional>
#include <utility>
#include <vector>

#include "assessment/verdict/result_assessment.h"
#include "protocol/adapter_profile.h"
#include "protocol/ethernet_run_evidence.h"
#include "protocol/speed_snapshot.h"
#include "support/uuid.h"

// The facts the speed verdict takes from the Ethernet evidence both Macs recorded.
namespace sorvanta::speed_evidence {

// The run's evidence records that validate against its run and session, in record order.
std::vector<const EthernetRunEvidence*> runEvidence(const SpeedSnapshot& speed);

// The one active link rate the run's evidence saw; absent with none or several.
std::optional<ResultAssessment::LinkObservation> linkFromEvidence(const SpeedSnapshot& speed);

// Each Mac's adapter profile, in record order; a Mac's first record wins.
using AdapterTable = std::vector<std::pair<Uuid, AdapterProfile>>;
AdapterTable adapterProfiles(const SpeedSnapshot& speed);

// The Macs that recorded Low Power Mode, each once, in record order.
std::vector<Uuid> lowPowerParticipants(const SpeedSnapshot& speed);

// Whether a drop of the simultaneous rates came with clean evidence: no resends in either
// duplex window, usable counter intervals without rises, and a steady full-duplex link.
bool cleanCeiling(const SpeedSnapshot& speed);

}  // namespace sorvanta::speed_evidence
