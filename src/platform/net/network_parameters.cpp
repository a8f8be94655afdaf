#include "platform/net/network_parameters.h"

#include <algorithm>

namespace sorvanta {

bool NetworkParameters::permits(const NetworkInterface& interface) const {
    if (requiredInterface && (requiredInterface->name != interface.name ||
                              requiredInterface->index != interface.index)) {
        return false;
    }
    if (requiredInterfaceType && *requiredInterfaceType != interface.type) {
        return false;
    }
    return std::find(prohibitedInterfaceTypes.begin(), prohibitedInterfaceTypes.end(),
                     interface.type) == prohibitedInterfaceTypes.end();
}

}  // namespace sorvanta
