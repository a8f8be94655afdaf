#include "platform/system/sysfs_device.h"

#include <algorithm>
#include <charconv>
#include <fstream>

namespace sorvanta::sysfs {

namespace fs = std::filesystem;

std::optional<std::string> readText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    // Attributes are at most a page; a longer file is not an attribute.
    std::string text(4097, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (in.bad() || in.gcount() == static_cast<std::streamsize>(text.size())) {
        return std::nullopt;
    }
    text.resize(static_cast<std::size_t>(in.gcount()));
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\t')) {
        text.pop_back();
    }
    return text;
}

std::optional<std::uint16_t> readHex16(const fs::path& file) {
    const auto text = readText(file);
    if (!text) {
        return std::nullopt;
    }
    std::string_view digits = *text;
    if (digits.starts_with("0x") || digits.starts_with("0X")) {
        digits.remove_prefix(2);
    }
    std::uint32_t value = 0;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
        value > 0xFFFF) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

std::optional<std::int64_t> readInteger(const fs::path& file) {
    const auto text = readText(file);
    if (!text || text->empty()) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), value);
    if (error != std::errc() || end != text->data() + text->size()) {
        return std::nullopt;
    }
    return value;
}

std::string subsystemOf(const fs::path& device) {
    std::error_code error;
    const auto target = fs::read_symlink(device / "subsystem", error);
    return error ? std::string() : target.filename().string();
}

std::optional<int> usbSpeedCode(std::string_view megabits) {
    if (megabits == "1.5") {
        return 2;
    }
    if (megabits == "12") {
        return 1;
    }
    if (megabits == "480") {
        return 3;
    }
    if (megabits == "5000") {
        return 4;
    }
    if (megabits == "10000") {
        return 5;
    }
    if (megabits == "20000") {
        return 6;
    }
    return std::nullopt;
}

bool isInterfaceName(std::string_view name) {
    return !name.empty() && name.size() < 16 && name.find('/') == std::string_view::npos &&
           name != "." && name != "..";
}

namespace {

HardwareIdentity pciIdentity(const fs::path& device) {
    HardwareIdentity identity;
    identity.bus = HardwareIdentity::Bus::pci;
    identity.pciVendor = readHex16(device / "vendor");
    identity.pciDevice = readHex16(device / "device");
    return identity;
}

HardwareIdentity usbIdentity(const fs::path& device) {
    HardwareIdentity identity;
    identity.bus = HardwareIdentity::Bus::usb;
    identity.usbVendor = readHex16(device / "idVendor");
    identity.usbProduct = readHex16(device / "idProduct");
    identity.usbRevision = readHex16(device / "bcdDevice");
    if (const auto speed = readText(device / "speed")) {
        identity.usbSpeed = usbSpeedCode(*speed);
    }
    return identity;
}

bool isWithin(const fs::path& path, const fs::path& root) {
    const auto [rootEnd, pathAt] =
        std::mismatch(root.begin(), root.end(), path.begin(), path.end());
    return rootEnd == root.end() && pathAt != path.end();
}

}  // namespace

std::optional<AdapterDevice> findAdapterDevice(const fs::path& netEntry,
                                               const fs::path& devicesRoot) {
    std::error_code error;
    if (!fs::is_symlink(netEntry / "device", error)) {
        return std::nullopt;
    }
    auto device = fs::canonical(netEntry / "device", error);
    if (error) {
        return std::nullopt;
    }
    const auto bound = fs::weakly_canonical(devicesRoot, error);
    for (int level = 0; level < 3 && !error && isWithin(device, bound); ++level) {
        const auto subsystem = subsystemOf(device);
        if (subsystem == "pci") {
            return AdapterDevice{pciIdentity(device), device};
        }
        if (subsystem == "usb" && fs::exists(device / "idVendor", error)) {
            return AdapterDevice{usbIdentity(device), device};
        }
        device = device.parent_path();
    }
    return AdapterDevice{};
}

}  // namespace sorvanta::sysfs
