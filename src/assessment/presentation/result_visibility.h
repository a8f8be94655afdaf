#pragma once

#include <chrono>
#include <optional>

#include "assessment/presentation/result_history.h"
#include "protocol/service_snapshot.h"
#include "support/uuid.h"

namespace sorvanta {

// Follows which run the published snapshots belong to and lets the result history fill in
// the kept result, giving the snapshot the windows and the report show.
struct ResultVisibility {
    std::optional<Uuid> run;
    // False only until the first change of `run`.
    bool mayRevealCurrent = false;
    ResultHistory history;

    ServiceSnapshot observe(const ServiceSnapshot& snapshot,
                            std::chrono::system_clock::time_point now);
};

}  // namespace sorvanta
