#pragma once

#include <asio/ip/address.hpp>
#include <optional>

#include "platform/net/network_interface.h"
#include "protocol/udp_binding.h"

namespace sorvanta {

// How the UDP probe engine of one leg attempt is built, as the sequencer decides it.
struct UDPTransferSettings {
    UDPBinding binding;
    // Bits per second the leg is paced against.
    double capacity = 0;
    // Planned sending seconds, 3.0 to 6.0.
    double measuredDuration = 0;
    bool receiving = false;
    // The admitted wired interface and the peer's address on it.
    std::optional<NetworkInterface> interface;
    asio::ip::address host;
};

}  // namespace sorvanta
