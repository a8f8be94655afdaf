#include "platform/net/network_path.h"

#include <algorithm>

namespace sorvanta {

std::string_view pathStatusName(PathStatus status) {
    switch (status) {
        case PathStatus::satisfied:
            return "satisfied";
        case PathStatus::unsatisfied:
            return "unsatisfied";
        case PathStatus::requiresConnection:
            return "requiresConnection";
    }
    return "unsatisfied";
}

std::string_view unsatisfiedReasonName(UnsatisfiedReason reason) {
    switch (reason) {
        case UnsatisfiedReason::notAvailable:
            return "notAvailable";
        case UnsatisfiedReason::localNetworkDenied:
            return "localNetworkDenied";
    }
    return "notAvailable";
}

bool NetworkPath::usesInterfaceType(InterfaceType type) const {
    return std::any_of(availableInterfaces.begin(), availableInterfaces.end(),
                       [type](const NetworkInterface& i) { return i.type == type; });
}

std::string NetworkPath::statusText() const {
    std::string text(pathStatusName(status));
    if (status == PathStatus::unsatisfied && unsatisfiedReason) {
        text += " (" + std::string(unsatisfiedReasonName(*unsatisfiedReason)) + ")";
    }
    return text;
}

}  // namespace sorvanta
