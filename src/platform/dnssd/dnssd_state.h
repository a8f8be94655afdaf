#pragma once

#include <string>

#include "support/platform_error.h"

namespace sorvanta {

// The state of an advertisement or a browser: ready once its sockets listen on every
// interface it covers; waiting(error) while no usable interface exists (it tries again
// by itself); failed(error) when a socket could not be set up; cancelled once its owner
// cancelled it (never delivered: no handler runs after cancel).
struct DnssdState {
    enum class Kind { setup, ready, waiting, failed, cancelled };

    Kind kind = Kind::setup;
    PlatformError error;  // meaningful for waiting and failed

    static DnssdState waiting(PlatformError e) { return {Kind::waiting, e}; }
    static DnssdState failed(PlatformError e) { return {Kind::failed, e}; }

    // "setup", "ready", "waiting(POSIX error 100: Network is down)", "failed(…)", "cancelled".
    std::string text() const;

    bool operator==(const DnssdState&) const = default;
};

}  // namespace sorvanta
