#pragma once

#include <chrono>
#include <optional>

#include "protocol/previous_result.h"
#include "protocol/result_context.h"
#include "protocol/service_snapshot.h"

namespace sorvanta {

// Remembers, in memory only, the run that is shown now and the last run that completed,
// and fills them into each published snapshot.
struct ResultHistory {
    std::optional<PreviousResult> completed;
    std::optional<ResultContext> context;

    // Records the snapshot's run (stamping the time it was first seen finished) and
    // returns the snapshot to show, with its result context and, while no run is shown or a
    // new run is still being prepared, the kept previous result filled in.
    ServiceSnapshot update(const ServiceSnapshot& snapshot,
                           std::chrono::system_clock::time_point now);
};

}  // namespace sorvanta
