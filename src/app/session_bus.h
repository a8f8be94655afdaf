#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace sorvanta {

// Without a session bus, the D-Bus client libraries that the toolkit loads (its
// accessibility bridge, its desktop integration) start a bus of their own through the X
// display, and that bus outlives the program. When nothing names a session bus — no address
// in the environment and no socket in the user's runtime directory — the program names one
// that cannot be reached: every session bus client then goes without, and nothing is started.

// The address to put in the environment, or nothing to change. `exists` tells whether a
// path exists.
std::optional<std::string> sessionBusStandIn(
    const char* address, const char* runtimeDirectory,
    const std::function<bool(const std::filesystem::path&)>& exists);

// Applies that to this process's environment; before the toolkit starts and before any
// thread does.
void keepSessionBusFromStarting();

}  // namespace sorvanta
