#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "support/platform_error.h"

namespace sorvanta {

// The state of a connection: setup → preparing → ready, or waiting(error) while it cannot
// connect yet and retries by itself, failed(error) when it broke for good, cancelled once its
// owner cancelled it (never delivered to the owner's handler).
struct TransportState {
    enum class Kind { setup, preparing, waiting, ready, failed, cancelled };

    Kind kind = Kind::setup;
    PlatformError error;  // meaningful for waiting and failed

    static TransportState waiting(PlatformError e) { return {Kind::waiting, e}; }
    static TransportState failed(PlatformError e) { return {Kind::failed, e}; }

    // "setup", "preparing", "waiting(POSIX error 111: Connection refused)", "ready", …
    std::string text() const;

    bool operator==(const TransportState&) const = default;
};

// The state of a listener: ready carries the port the system chose.
struct ListenerState {
    enum class Kind { setup, waiting, ready, failed, cancelled };

    Kind kind = Kind::setup;
    PlatformError error;  // meaningful for waiting and failed
    std::uint16_t port = 0;

    std::string text() const;

    bool operator==(const ListenerState&) const = default;
};

}  // namespace sorvanta
