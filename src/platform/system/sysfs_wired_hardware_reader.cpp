#include "platform/system/sysfs_wired_hardware_reader.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <limits>
#include <utility>

#include "platform/system/admission_class.h"
#include "platform/system/ethtool_media_query.h"
#include "protocol/adapter_profile.h"

namespace sorvanta {

namespace fs = std::filesystem;

namespace {

constexpr std::int64_t etherFraming = 1;  // ARPHRD_ETHER
constexpr std::int64_t loopbackFraming = 772;
constexpr std::size_t describedInterfaces = 32;
constexpr std::size_t longestLabel = 64;
constexpr int tunnelWalk = 16;

bool isWireless(const fs::path& entry) {
    std::error_code error;
    return fs::exists(entry / "wireless", error) || fs::exists(entry / "phy80211", error);
}

// Device-supplied text shown to the user: no control bytes, no surrounding blanks, and cut
// at a character boundary when long.
std::string cleanLabel(std::string_view raw) {
    std::string text;
    for (const char c : raw) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7F) {
            text += c;
        }
    }
    const auto first = text.find_first_not_of(' ');
    text.erase(0, first == std::string::npos ? text.size() : first);
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    if (text.size() > longestLabel) {
        std::size_t cut = longestLabel;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
            --cut;
        }
        text.resize(cut);
    }
    return text;
}

std::optional<std::string> udevModelName(const fs::path& dataFile) {
    std::ifstream in(dataFile);
    constexpr std::string_view key = "E:ID_MODEL_FROM_DATABASE=";
    std::string line;
    for (int lines = 0; lines < 256 && std::getline(in, line); ++lines) {
        if (line.starts_with(key)) {
            return line.substr(key.size());
        }
    }
    return std::nullopt;
}

std::string typeText(const fs::path& entry) {
    const auto framing = sysfs::readInteger(entry / "type");
    if (!framing) {
        return "unknown";
    }
    if (*framing == etherFraming) {
        return isWireless(entry) ? "IEEE80211" : "Ethernet";
    }
    return *framing == loopbackFraming ? "Loopback" : "unknown";
}

}  // namespace

SysfsWiredHardwareReader::SysfsWiredHardwareReader(fs::path root, MediaQuery media,
                                                   StandIns standIns)
    : root_(std::move(root)),
      media_(media ? std::move(media) : MediaQuery(ethtoolMediaReading)),
      standIns_(std::move(standIns)) {}

fs::path SysfsWiredHardwareReader::netEntry(const std::string& name) const {
    return root_ / "sys/class/net" / name;
}

std::optional<sysfs::AdapterDevice> SysfsWiredHardwareReader::adapterDevice(
    const std::string& name) const {
    if (!sysfs::isInterfaceName(name)) {
        return std::nullopt;
    }
    if (const auto standIn = standIns_.find(name); standIn != standIns_.end()) {
        std::error_code error;
        if (!fs::exists(netEntry(name), error)) {
            return std::nullopt;
        }
        return sysfs::AdapterDevice{standIn->second, {}};
    }
    return sysfs::findAdapterDevice(netEntry(name), root_ / "sys/devices");
}

std::optional<HardwareIdentity> SysfsWiredHardwareReader::registryAdapter(
    const std::string& name) const {
    const auto adapter = adapterDevice(name);
    if (!adapter) {
        return std::nullopt;
    }
    return adapter->identity;
}

// Linux does not say how a PCI adapter is attached, so these are approximations: a device
// below a Thunderbolt bus device, or one the kernel marks removable (behind an external-
// facing port), counts as Thunderbolt; one with a firmware label or ACPI index (a port the
// firmware names) as internal; any other as PCI.
WiredInterface::ConnectionType SysfsWiredHardwareReader::connectionTypeOf(
    const std::optional<sysfs::AdapterDevice>& adapter) const {
    using Type = WiredInterface::ConnectionType;
    if (!adapter || !isAdmitted(adapterAdmission(adapter->identity))) {
        return Type::unknown;
    }
    if (adapter->identity.bus == HardwareIdentity::Bus::usb) {
        return Type::usb;
    }
    if (adapter->directory.empty()) {
        return Type::pci;  // a stand-in: no device directory to tell more
    }
    std::error_code error;
    const auto devices = fs::weakly_canonical(root_ / "sys/devices", error);
    auto entry = adapter->directory;
    for (int level = 0;
         level < tunnelWalk && !error && entry != devices && entry.has_relative_path();
         ++level, entry = entry.parent_path()) {
        if (sysfs::subsystemOf(entry) == "thunderbolt") {
            return Type::thunderbolt;
        }
    }
    if (sysfs::readText(adapter->directory / "removable") == "removable") {
        return Type::thunderbolt;
    }
    if (fs::exists(adapter->directory / "label", error) ||
        fs::exists(adapter->directory / "acpi_index", error)) {
        return Type::internalPort;
    }
    return Type::pci;
}

WiredInterface::ConnectionType SysfsWiredHardwareReader::connectionType(
    const std::string& name) const {
    return connectionTypeOf(adapterDevice(name));
}

LinkReading SysfsWiredHardwareReader::linkState(const std::string& name) const {
    const auto media = media_(name);
    if (!sysfs::isInterfaceName(name)) {
        return combineLink(std::nullopt, std::nullopt, media);
    }
    // The carrier attribute stands for the device's own link status; it cannot be read
    // while the interface is down.
    std::optional<std::uint32_t> status;
    const auto carrier = sysfs::readInteger(netEntry(name) / "carrier");
    if (carrier == 1) {
        status = 0x3;
    } else if (carrier == 0) {
        status = 0x1;
    }
    std::optional<std::uint64_t> speed;
    const auto megabits = sysfs::readInteger(netEntry(name) / "speed");
    if (megabits && *megabits > 0 &&
        *megabits < std::numeric_limits<std::int64_t>::max() / 1'000'000) {
        speed = static_cast<std::uint64_t>(*megabits) * 1'000'000;
    }
    return combineLink(status, speed, media);
}

std::string SysfsWiredHardwareReader::labelOf(const std::string& name,
                                              const sysfs::AdapterDevice& adapter) const {
    if (adapter.identity.bus == HardwareIdentity::Bus::usb) {
        if (const auto product = sysfs::readText(adapter.directory / "product")) {
            if (auto label = cleanLabel(*product); !label.empty()) {
                return label;
            }
        }
    }
    if (const auto index = sysfs::readInteger(netEntry(name) / "ifindex")) {
        const auto data = root_ / "run/udev/data" / ("n" + std::to_string(*index));
        if (const auto model = udevModelName(data)) {
            if (auto label = cleanLabel(*model); !label.empty()) {
                return label;
            }
        }
    }
    return "Ethernet";
}

std::map<std::string, std::string> SysfsWiredHardwareReader::wiredInterfaceLabels() const {
    std::map<std::string, std::string> labels;
    std::error_code error;
    for (fs::directory_iterator it(root_ / "sys/class/net", error), end; !error && it != end;
         it.increment(error)) {
        const auto name = it->path().filename().string();
        if (sysfs::readInteger(it->path() / "type") != etherFraming || isWireless(it->path())) {
            continue;
        }
        const auto adapter = adapterDevice(name);
        if (adapter && isAdmitted(adapterAdmission(adapter->identity))) {
            labels[name] = labelOf(name, *adapter);
        }
    }
    return labels;
}

std::vector<WiredInterface> SysfsWiredHardwareReader::wiredInventory() const {
    std::vector<WiredInterface> inventory;
    for (auto& [name, label] : wiredInterfaceLabels()) {
        const auto index = sysfs::readInteger(netEntry(name) / "ifindex");
        if (!index || *index <= 0 || *index > std::numeric_limits<int>::max()) {
            continue;
        }
        const auto adapter = adapterDevice(name);
        WiredInterface wired;
        wired.identity = {name, static_cast<int>(*index)};
        wired.label = label;
        wired.connectionType = connectionTypeOf(adapter);
        const auto link = linkState(name);
        wired.linkActive = link.active;
        wired.linkSpeed = link.rate;
        if (adapter && isAdmitted(adapterAdmission(adapter->identity))) {
            wired.adapter = AdapterProfile::fromIdentity(adapter->identity);
        }
        inventory.push_back(std::move(wired));
    }
    std::sort(inventory.begin(), inventory.end(),
              [](const auto& a, const auto& b) { return a.identity.index < b.identity.index; });
    return inventory;
}

bool SysfsWiredHardwareReader::qualifiedAdapterOnBus() const {
    std::error_code error;
    for (fs::directory_iterator it(root_ / "sys/bus/usb/devices", error), end; !error && it != end;
         it.increment(error)) {
        const auto vendor = sysfs::readHex16(it->path() / "idVendor");
        const auto product = sysfs::readHex16(it->path() / "idProduct");
        if (vendor && product && isQualifiedUsbPair(*vendor, *product)) {
            return true;
        }
    }
    return false;
}

std::optional<std::string> SysfsWiredHardwareReader::adapterSummary(const std::string& name) const {
    if (!sysfs::isInterfaceName(name)) {
        return std::nullopt;
    }
    const auto identity = registryAdapter(name);
    std::string text = name + ": " + typeText(netEntry(name)) + "; admission: ";
    text += admissionDescription(identity);
    if (identity && identity->bus == HardwareIdentity::Bus::usb && identity->usbVendor &&
        identity->usbProduct) {
        char ids[32];
        std::snprintf(ids, sizeof ids, "; USB VID/PID: %04x:%04x", *identity->usbVendor,
                      *identity->usbProduct);
        text += ids;
    }
    const auto link = linkState(name);
    text += "; carrier: ";
    text += !link.active ? "unavailable" : *link.active ? "active" : "inactive";
    text += "; driver-reported active link speed: ";
    text += link.rate ? std::to_string(*link.rate) : "unavailable";
    return text + " bps";
}

std::string SysfsWiredHardwareReader::interfaceDescriptions() const {
    std::vector<std::pair<std::int64_t, std::string>> interfaces;
    std::error_code error;
    fs::directory_iterator it(root_ / "sys/class/net", error);
    if (error) {
        return "Interface descriptions unavailable in this environment.";
    }
    for (fs::directory_iterator end; !error && it != end; it.increment(error)) {
        const auto index = sysfs::readInteger(it->path() / "ifindex");
        interfaces.emplace_back(index.value_or(std::numeric_limits<std::int64_t>::max()),
                                it->path().filename().string());
    }
    std::sort(interfaces.begin(), interfaces.end());
    if (interfaces.size() > describedInterfaces) {
        interfaces.resize(describedInterfaces);
    }
    std::string text;
    for (const auto& entry : interfaces) {
        if (const auto line = adapterSummary(entry.second)) {
            text += text.empty() ? *line : "\n" + *line;
        }
    }
    return text;
}

}  // namespace sorvanta
