#include "platform/net/wired_path.h"

namespace sorvanta {

bool isWiredPath(const NetworkPath& path, std::string_view pinnedName, int pinnedIndex) {
    const bool satisfied = path.status == PathStatus::satisfied;
    const bool wired = path.usesInterfaceType(InterfaceType::wiredEthernet);
    const bool wifi = path.usesInterfaceType(InterfaceType::wifi);
    const bool loopback = path.usesInterfaceType(InterfaceType::loopback);
    const bool other = path.usesInterfaceType(InterfaceType::other) ||
                       path.usesInterfaceType(InterfaceType::cellular);
    if (!satisfied || !wired || wifi || loopback || other || path.availableInterfaces.empty()) {
        return false;
    }
    // The identities form a set: the pinned one may be listed more than once, nothing else.
    for (const auto& interface : path.availableInterfaces) {
        if (interface.name != pinnedName || interface.index != pinnedIndex) {
            return false;
        }
    }
    return true;
}

NetworkParameters makeWiredParameters(const NetworkInterface& interface) {
    NetworkParameters parameters = NetworkParameters::tcp();
    parameters.requiredInterfaceType = InterfaceType::wiredEthernet;
    parameters.prohibitedInterfaceTypes = {InterfaceType::wifi, InterfaceType::loopback,
                                           InterfaceType::cellular, InterfaceType::other};
    parameters.includePeerToPeer = false;
    parameters.requiredInterface = interface;
    return parameters;
}

}  // namespace sorvanta
