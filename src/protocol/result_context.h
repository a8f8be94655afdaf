#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "support/uuid.h"

namespace sorvanta {

// The run, peer name and time of a result that may be shown.
struct ResultContext {
    Uuid run;
    std::optional<std::string> peer;
    std::optional<std::chrono::system_clock::time_point> observedAt;

    bool operator==(const ResultContext&) const = default;
};

}  // namespace sorvanta
