#pragma once

#include "protocol/result_context.h"
#include "protocol/speed_snapshot.h"

namespace sorvanta {

// The last completed run kept with its context.
struct PreviousResult {
    SpeedSnapshot speed;
    ResultContext context;
};

}  // namespace sorvanta
