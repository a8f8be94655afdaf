#pragma once

#include <ifaddrs.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "protocol/ethernet_counter_snapshot.h"

// The kernel sources of one counter reading, each usable on its own so that tests can
// feed them prepared data.
namespace sorvanta::ethernet_capture {

// The inode number of the device's entry under `deviceDirectory` (normally
// /sys/class/net): absent when there is no such entry or it is not the device with index
// `index`.
std::optional<std::uint64_t> readDeviceInode(const std::filesystem::path& deviceDirectory,
                                             std::string_view interface, std::int64_t index);

// The identity of the device with index `index` in the calling thread's network
// namespace, for when the device directory does not show that namespace.
std::optional<std::uint64_t> namespaceDeviceID(std::int64_t index);

// The registry identifier of a reading: the device inode, else the namespace identity.
std::optional<std::uint64_t> readRegistryID(std::string_view interface, std::int64_t index);

// The carrier up and down counts, written "up:down", from the reply to a link request for
// `index`; absent unless the reply names `interface` with that index and carries both.
std::optional<std::string> parseCarrierCounts(std::span<const std::byte> reply,
                                              std::string_view interface, std::int64_t index);

// Asks the kernel, in the calling thread's network namespace, for the carrier counts.
std::optional<std::string> readCarrierCounts(std::string_view interface, std::int64_t index);

// The error and drop counters of a link as the kernel's 32-bit statistics carry them.
struct LinkErrorCounters {
    std::uint32_t rxErrors = 0;
    std::uint32_t txErrors = 0;
    std::uint32_t inputDrops = 0;
    bool operator==(const LinkErrorCounters&) const = default;
};

// The kernel's answer to a request for one link by its index.
struct LinkAnswer {
    bool exists = false;  // false: the kernel knows no link with that index
    std::string name;
    std::optional<LinkErrorCounters> counters;
    std::optional<std::string> carrierCounts;  // "up:down", only when both are present
    bool operator==(const LinkAnswer&) const = default;
};

// Reads the reply to a link request for `index`: absent unless it holds that link's
// description or the kernel's "no such device".
std::optional<LinkAnswer> parseLinkAnswer(std::span<const std::byte> reply, std::int64_t index);

// Asks the kernel, in the calling thread's network namespace, about the link `index`;
// absent when no whole answer came.
std::optional<LinkAnswer> queryLink(std::int64_t index);

// Walks an interface list as returned by getifaddrs and fills the counters of `snapshot`
// from the first packet-level entry of `interface` that carries statistics.
void readStatistics(const ifaddrs* list, std::string_view interface, std::int64_t index,
                    const std::optional<std::string>& stateChanges,
                    EthernetCounterSnapshot& snapshot);

}  // namespace sorvanta::ethernet_capture

namespace sorvanta {

// Reads the counters of the interface `interface`, which must still have the index
// `index`. Never throws: every problem leaves fields absent and names itself in `reason`.
EthernetCounterSnapshot captureEthernetCounters(const std::string& interface, std::int64_t index,
                                                double offset);

}  // namespace sorvanta
