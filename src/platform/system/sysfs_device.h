#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/hardware_identity.h"

// Small readers of the kernel's device tree (sysfs), each taking paths inside whatever root
// the caller reads from. None throws; a failed read is absent.
namespace sorvanta::sysfs {

// A short attribute file without its trailing white space.
std::optional<std::string> readText(const std::filesystem::path& file);

// A hexadecimal attribute ("0x1af4" or "1af4") of at most 16 bits.
std::optional<std::uint16_t> readHex16(const std::filesystem::path& file);

// A decimal attribute as a signed integer.
std::optional<std::int64_t> readInteger(const std::filesystem::path& file);

// The bus or class a device directory belongs to: the name its `subsystem` link points to.
std::string subsystemOf(const std::filesystem::path& device);

// The bus-speed code of a USB device's `speed` attribute (Mb/s as the kernel writes it):
// 1.5 → 2, 12 → 1, 480 → 3, 5000 → 4, 10000 → 5, 20000 → 6; any other text is absent.
std::optional<int> usbSpeedCode(std::string_view megabits);

// Whether `name` can be an interface name: 1 to 15 bytes, no '/', not "." or "..".
bool isInterfaceName(std::string_view name);

// The hardware behind one network interface: its identity and the directory of the PCI
// function or USB device it was read from (empty for an `other` identity).
struct AdapterDevice {
    HardwareIdentity identity;
    std::filesystem::path directory;
};

// Finds the adapter of the interface whose class entry is `netEntry`, walking from its
// `device` link up through at most three device directories to the first PCI function or
// USB device: a USB interface or a virtual driver device (virtio) sits between them. An
// entry without a `device` link has no adapter; a device on any other bus is `other`.
// `devicesRoot` bounds the walk.
std::optional<AdapterDevice> findAdapterDevice(const std::filesystem::path& netEntry,
                                               const std::filesystem::path& devicesRoot);

}  // namespace sorvanta::sysfs
