#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "protocol/quick_profile.h"
#include "protocol/run_end_cause.h"
#include "protocol/speed_message.h"
#include "protocol/speed_snapshot.h"
#include "support/uuid.h"

namespace sorvanta {

// How a hosted run's end is told to the other Mac and shown here. Pure.

// A message of the service's own kinds (request, accept, reject, cancel): the fixed shape of
// a run and nothing else.
SpeedMessage runMessage(SpeedMessage::Kind kind, const Uuid& run, const Uuid& sender,
                        QuickProfile profile, std::int64_t stage);

// The cancel of a run ended for `reason`: the end detail is left out for a stopped run.
SpeedMessage cancelMessage(const Uuid& run, const Uuid& sender, QuickProfile profile,
                           std::int64_t stage, RunEndCause cause, std::string_view reason);

// What the end reported by the run's own engine means.
struct EngineEnding {
    bool sendCancel = false;
    RunEndCause cause = RunEndCause::stopped;
    // The status shown: the engine's own when complete or already "Incomplete.", else prefixed.
    std::string status;
};
EngineEnding engineEnding(const SpeedSnapshot& final);

// The other Mac's cancel: the reason shown here and whether the run counts as failed.
struct RemoteEnding {
    RunEndCause cause = RunEndCause::stopped;
    std::string reason;
    bool failed = false;
};
RemoteEnding remoteEnding(const std::optional<RunEndCause>& end, std::string_view peerName,
                          const std::optional<std::string>& endDetail);

}  // namespace sorvanta
