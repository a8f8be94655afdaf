#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/direction_measurement.h"
#include "protocol/preparation_snapshot.h"
#include "protocol/quality_evidence.h"
#include "protocol/quick_profile.h"
#include "protocol/run_end_cause.h"
#include "protocol/speed_sample.h"
#include "protocol/stage_measurement.h"
#include "support/json_codec.h"
#include "support/uuid.h"

namespace sorvanta {

// The state of one run as the rest of the application sees it. A default-constructed
// snapshot is the idle one. No equality and no coding: it is copied, never compared or sent.
struct SpeedSnapshot {
    enum class Phase {
        idle,
        checking,
        preparing,
        warming,
        measuring,
        quality,
        complete,
        cancelled,
        failed
    };

    static constexpr std::string_view idleStatus =
        "About 50 seconds plus setup. Three TCP stages and a short quality check.";

    QualityEvidence quality;
    PreparationSnapshot preparation;
    Phase phase = Phase::idle;
    // This Mac's readiness gate currently raises no refusal.
    bool armed = false;
    // A run is in progress on this Mac.
    bool busy = false;
    std::optional<Uuid> run;
    // Instance identifier of the Mac that requested the run.
    std::optional<Uuid> initiator;
    // The latest sample shown for the current stage.
    std::optional<SpeedSample> sample;
    QuickProfile profile = QuickProfile::quick;
    std::int64_t stage = 0;
    std::vector<StageMeasurement> stages;
    // The directions of the current stage.
    std::vector<DirectionMeasurement> directions;
    std::string status{idleStatus};
    std::optional<RunEndCause> end;
    bool endedRemotely = false;
    // The UDP probe leg in progress: 0 sent by the initiator, 1 by the responder.
    std::optional<std::int64_t> qualityLeg;
};

// Raw values of the phases (their case names).
template <>
struct json::EnumNames<SpeedSnapshot::Phase> {
    static constexpr std::array<std::string_view, 9> names{"idle",     "checking",  "preparing",
                                                           "warming",  "measuring", "quality",
                                                           "complete", "cancelled", "failed"};
};

}  // namespace sorvanta
