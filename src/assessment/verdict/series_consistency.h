#pragma once

#include "protocol/consistency_summary.h"
#include "protocol/speed_sample.h"

namespace sorvanta {

// Condenses a receiver's one-second series into its consistency summary. Never fails:
// a series that cannot support a judgement gets a reason.
ConsistencySummary summarizeSeries(const SpeedSample& sample);

// An interval counts when its times are finite, it starts at or after 0, it lasts
// 0.75 … 1.25 s and its rate is finite and not negative.
bool isValidSeriesInterval(const ThroughputInterval& interval);

}  // namespace sorvanta
