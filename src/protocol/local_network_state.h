#pragma once

#include <array>
#include <string_view>

#include "support/json_codec.h"

namespace sorvanta {

// What is known of the permission to use the local network. Raw values are the texts shown
// to the user (json::enumName / json::enumFromName).
enum class LocalNetworkState {
    undetermined,
    waiting,
    available,
    unavailable,
};

template <>
struct json::EnumNames<LocalNetworkState> {
    static constexpr std::array<std::string_view, 4> names{
        "Waiting for Local Network access",
        "Discovery running; access not yet confirmed",
        "Local Network available",
        "Local Network denied or unavailable",
    };
};

}  // namespace sorvanta
