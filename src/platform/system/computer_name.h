#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace sorvanta {

// The name this computer goes by: the pretty host name of /etc/machine-info, else the host
// name; absent when neither is set. Callers clean it up for display.
std::optional<std::string> computerName();

// PRETTY_HOSTNAME from the text of a machine-info file (KEY=VALUE lines, values quoted and
// escaped as in a shell); absent when missing or empty.
std::optional<std::string> prettyHostname(std::string_view machineInfo);

}  // namespace sorvanta
