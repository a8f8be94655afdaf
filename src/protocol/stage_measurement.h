#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "protocol/direction_measurement.h"
#include "protocol/quick_stage.h"
#include "support/uuid.h"

namespace sorvanta {

// One stage of a run: its position in the profile, its mode and its directions (one for
// forward and reverse, two for duplex).
struct StageMeasurement {
    std::int64_t index = 0;
    QuickStage mode = QuickStage::forward;
    std::vector<DirectionMeasurement> directions;

    bool operator==(const StageMeasurement&) const = default;

    // The combined rate of a duplex stage whose two directions are complete with usable
    // samples; absent otherwise.
    std::optional<double> duplexBitsPerSecond() const;

    // The rate one Mac could send: the smaller of its single-direction rate and its duplex
    // rate, each of which must come from exactly one complete direction with a positive
    // finite rate; absent otherwise.
    static std::optional<double> senderCapacity(const Uuid& sender,
                                                std::span<const StageMeasurement> stages);
};

}  // namespace sorvanta
