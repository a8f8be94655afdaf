#include "app/session_bus.h"

#include <cstdlib>
#include <system_error>

namespace sorvanta {

namespace {

// A transport no D-Bus library knows: connecting fails at once, without starting anything.
constexpr const char* unreachableBus = "disabled:";

}  // namespace

std::optional<std::string> sessionBusStandIn(
    const char* address, const char* runtimeDirectory,
    const std::function<bool(const std::filesystem::path&)>& exists) {
    if (address != nullptr && *address != '\0')
        return std::nullopt;
    if (runtimeDirectory != nullptr && std::filesystem::path(runtimeDirectory).is_absolute() &&
        exists(std::filesystem::path(runtimeDirectory) / "bus"))
        return std::nullopt;
    return std::string(unreachableBus);
}

void keepSessionBusFromStarting() {
    const auto standIn =
        sessionBusStandIn(std::getenv("DBUS_SESSION_BUS_ADDRESS"), std::getenv("XDG_RUNTIME_DIR"),
                          [](const std::filesystem::path& path) {
                              std::error_code error;
                              return std::filesystem::exists(path, error);
                          });
    if (standIn)
        ::setenv("DBUS_SESSION_BUS_ADDRESS", standIn->c_str(), 1);
}

}  // namespace sorvanta
