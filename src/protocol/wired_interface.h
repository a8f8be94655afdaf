#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/adapter_profile.h"
#include "protocol/interface_identity.h"
#include "support/json_codec.h"

namespace sorvanta {

// One wired interface as shown to the user. Identified by its interface index.
struct WiredInterface {
    // How the adapter is attached. Raw values are the texts shown to the user
    // (json::enumName / json::enumFromName).
    enum class ConnectionType { internalPort, usb, thunderbolt, pci, unknown };

    InterfaceIdentity identity;
    std::string label;
    ConnectionType connectionType = ConnectionType::unknown;
    // Negotiated link speed in bits per second; absent when the system reports none.
    std::optional<std::uint64_t> linkSpeed;
    // Absent when the system reports no link state.
    std::optional<bool> linkActive;
    std::optional<AdapterProfile> adapter;

    int id() const { return identity.index; }

    // The adapter menu's title: connection type, " · ", label (e.g. "Internal · Ethernet").
    std::string title() const;

    bool operator==(const WiredInterface&) const = default;
};

template <>
struct json::EnumNames<WiredInterface::ConnectionType> {
    static constexpr std::array<std::string_view, 5> names{
        "Internal", "USB adapter", "Thunderbolt adapter", "PCI adapter", "Ethernet adapter"};
};

}  // namespace sorvanta
