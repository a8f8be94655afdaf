#pragma once

#include <asio/ip/address.hpp>
#include <optional>

#include "platform/net/network_parameters.h"
#include "support/platform_error.h"

namespace sorvanta {

// ENODEV when the parameters pin an interface that is gone, was renamed (its index reused) or
// is no longer allowed; empty when nothing is pinned or the pinned interface is there.
std::optional<PlatformError> pinnedInterfaceMissing(const NetworkParameters& parameters);

// Binds the socket to the pinned interface (SO_BINDTODEVICE); nothing to do when none is pinned.
std::optional<PlatformError> bindToPinnedInterface(int fd, const NetworkParameters& parameters);

// Both of the above: the refusal a dialling socket waits on, if any.
std::optional<PlatformError> pinSocket(int fd, const NetworkParameters& parameters);

// A link-local IPv6 peer is only reachable through one interface: without a scope of its own
// it takes the pinned interface's. Every other address is returned as it is.
asio::ip::address scopedToPinnedInterface(const asio::ip::address& host,
                                          const NetworkParameters& parameters);

}  // namespace sorvanta
