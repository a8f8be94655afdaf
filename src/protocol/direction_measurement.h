#pragma once

#include <optional>
#include <string>

#include "protocol/speed_sample.h"
#include "protocol/tcp_observation.h"
#include "support/uuid.h"

namespace sorvanta {

// One direction of one stage: who sends, what the receiver measured, and the sender's
// TCP report.
struct DirectionMeasurement {
    Uuid sender;
    std::string label;
    std::optional<SpeedSample> sample;
    // The receiver's final result has arrived.
    bool complete = false;
    std::optional<TCPObservation> transport;
    // The text describing the network path of the data connection.
    std::string path;

    bool operator==(const DirectionMeasurement&) const = default;
};

}  // namespace sorvanta
