#pragma once

#include <ifaddrs.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/ethernet_counter_snapshot.h"

namespace sorvanta::ethernet_capture {

// The parts of a counter reading that come from the device's entry in the kernel's
// network-device directory (normally /sys/class/net).
struct DeviceIdentity {
    std::optional<std::uint64_t> registryID;
    // Carrier up and down counts, written "up:down".
    std::optional<std::string> stateChanges;
};

// Reads the identity of the device `interface` under `deviceDirectory`. Each field is
// absent when it cannot be read, or all are when the entry there is not the device with
// index `index`.
DeviceIdentity readDeviceIdentity(const std::filesystem::path& deviceDirectory,
                                  std::string_view interface, std::int64_t index);

// Walks an interface list as returned by getifaddrs and fills the counters of `snapshot`
// from the first packet-level entry of `interface` that carries statistics.
void readStatistics(const ifaddrs* list, std::string_view interface, std::int64_t index,
                    const std::optional<std::string>& stateChanges,
                    EthernetCounterSnapshot& snapshot);

}  // namespace sorvanta::ethernet_capture
