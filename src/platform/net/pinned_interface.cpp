#include "platform/net/pinned_interface.h"

#include <cerrno>

#include "platform/net/socket_support.h"

namespace sorvanta {

std::optional<PlatformError> pinnedInterfaceMissing(const NetworkParameters& parameters) {
    if (!parameters.requiredInterface) {
        return std::nullopt;
    }
    const auto& pinned = *parameters.requiredInterface;
    const auto present = findInterface(pinned.index);
    if (!present || present->interface.name != pinned.name ||
        !parameters.permits(present->interface)) {
        return PlatformError::posix(ENODEV);
    }
    return std::nullopt;
}

std::optional<PlatformError> bindToPinnedInterface(int fd, const NetworkParameters& parameters) {
    if (!parameters.requiredInterface) {
        return std::nullopt;
    }
    return bindToDevice(fd, parameters.requiredInterface->name);
}

std::optional<PlatformError> pinSocket(int fd, const NetworkParameters& parameters) {
    if (auto missing = pinnedInterfaceMissing(parameters)) {
        return missing;
    }
    return bindToPinnedInterface(fd, parameters);
}

asio::ip::address scopedToPinnedInterface(const asio::ip::address& host,
                                          const NetworkParameters& parameters) {
    if (!host.is_v6() || !host.to_v6().is_link_local() || host.to_v6().scope_id() != 0 ||
        !parameters.requiredInterface) {
        return host;
    }
    auto v6 = host.to_v6();
    v6.scope_id(static_cast<unsigned>(parameters.requiredInterface->index));
    return v6;
}

}  // namespace sorvanta
