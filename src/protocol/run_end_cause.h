#pragma once

#include <array>
#include <string_view>

#include "support/json_codec.h"

namespace sorvanta {

// How a run ended: stopped (not a failure), the connection between the Macs or a data
// connection failed, or the test itself could not continue.
enum class RunEndCause { stopped, connection, tester };

template <>
struct json::EnumNames<RunEndCause> {
    static constexpr std::array<std::string_view, 3> names{"stopped", "connection", "tester"};
};

}  // namespace sorvanta
