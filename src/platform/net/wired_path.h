#pragma once

#include <string_view>

#include "platform/net/network_interface.h"
#include "platform/net/network_parameters.h"
#include "platform/net/network_path.h"

namespace sorvanta {

// Whether a live path runs over exactly the pinned wired interface: satisfied, using wired
// Ethernet and no Wi-Fi, loopback, cellular or other interface, and listing the pinned
// interface (same name and index) and no other one.
bool isWiredPath(const NetworkPath& path, std::string_view pinnedName, int pinnedIndex);

// The same rule for any pinned identity with `name` and `index` (such as InterfaceIdentity).
template <class Identity>
bool isWiredPath(const NetworkPath& path, const Identity& pinned) {
    return isWiredPath(path, pinned.name, pinned.index);
}

// TCP parameters that require the interface and the wired Ethernet type, prohibit Wi-Fi,
// loopback, cellular and other types (in that order) and leave peer-to-peer off.
NetworkParameters makeWiredParameters(const NetworkInterface& interface);

}  // namespace sorvanta
