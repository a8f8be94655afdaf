#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "assessment/report/report_writer.h"
#include "protocol/direction_measurement.h"
#include "protocol/udp_observation.h"

namespace sorvanta {

// The rows of one measured TCP direction: sender, receiver sample and series, sender report.
void writeDirectionRows(ReportWriter& report, const DirectionMeasurement& direction);

// The rows of one UDP probe leg attempt.
void writeLegRows(ReportWriter& report, const UDPObservation& leg);

// "label: count" for each position both lists hold, in order.
std::vector<std::string> labeledCounts(std::span<const std::string_view> labels,
                                       std::span<const std::int64_t> counts);

}  // namespace sorvanta
