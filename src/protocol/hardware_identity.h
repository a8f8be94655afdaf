#pragma once

#include <cstdint>
#include <optional>

namespace sorvanta {

// The bus and identifiers of one wired adapter, as collected by the wired inventory.
// Only the identifiers of the adapter's own bus are looked up in the chipset tables.
struct HardwareIdentity {
    enum class Bus { usb, pci, other };

    Bus bus = Bus::other;
    std::optional<std::uint16_t> usbVendor;
    std::optional<std::uint16_t> usbProduct;
    std::optional<int> usbSpeed;  // the bus's connection-speed code
    std::optional<std::uint16_t> usbRevision;
    std::optional<std::uint16_t> pciVendor;
    std::optional<std::uint16_t> pciDevice;

    bool operator==(const HardwareIdentity&) const = default;
};

}  // namespace sorvanta
