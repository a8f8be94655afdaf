#pragma once

#include <array>
#include <string_view>

#include "support/json_codec.h"

namespace sorvanta {

// The state of the control connection. Raw values are the case names
// (json::enumName / json::enumFromName).
enum class ConnectionState {
    idle,
    searching,
    peerFound,
    connecting,
    ready,
    probing,
    failed,
    cancelled,
};

template <>
struct json::EnumNames<ConnectionState> {
    static constexpr std::array<std::string_view, 8> names{
        "idle", "searching", "peerFound", "connecting", "ready", "probing", "failed", "cancelled"};
};

}  // namespace sorvanta
