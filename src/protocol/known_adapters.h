#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

#include "protocol/hardware_identity.h"

namespace sorvanta {

// Built-in chipset tables: which chip an adapter carries, and how fast it can go.
// Keys are (vendor << 16) | product (USB) or (vendor << 16) | device (PCI).
class KnownAdapters {
  public:
    struct Chip {
        std::string name;
        std::uint64_t maximum = 0;             // bit/s
        std::optional<std::uint64_t> assured;  // bit/s; absent means `maximum`

        bool operator==(const Chip&) const = default;
    };

    using Table = std::unordered_map<std::uint32_t, Chip>;

    KnownAdapters() = delete;

    static constexpr std::uint32_t key(std::uint16_t vendor, std::uint16_t product) {
        return (static_cast<std::uint32_t>(vendor) << 16) | product;
    }

    // Each table is built once, on first use, and is read-only afterwards.
    static const Table& usbChips();
    // USB devices whose vendor and product alone do not name the chip, keyed by the
    // device revision (bcdDevice) inside.
    static const std::unordered_map<std::uint32_t, std::unordered_map<std::uint16_t, Chip>>&
    usbRevisionChips();
    static const Table& pciChips();

    // The chip of an adapter, looked up in the table of its own bus only.
    static std::optional<Chip> chip(const HardwareIdentity& identity);
};

}  // namespace sorvanta
