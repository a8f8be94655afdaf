#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "platform/system/sysfs_device.h"
#include "platform/system/wired_hardware_reader.h"

namespace sorvanta {

// Reads the wired adapters from the kernel's device tree and udev's database below one
// root directory ("/" on a running system; tests build a tree of their own), and each link
// from its driver. The wired interfaces are the Ethernet-framed (ARPHRD_ETHER) entries of
// the net class with a `device` link, which leaves out veth, bridge, bond, vlan, tun and the
// like, and without a wireless entry; of those, the admitted adapters.
class SysfsWiredHardwareReader final : public WiredHardwareReader {
  public:
    // How a link is asked of its driver; the ethtool query unless a test says otherwise.
    using MediaQuery = std::function<MediaReading(const std::string& name)>;
    // Adapters the tree cannot show, by interface name: while an interface of that name
    // exists it counts as the adapter given (a test's veth end as a PCI adapter, say), and
    // everything else about it (index, carrier, speed) is read as for any interface.
    using StandIns = std::map<std::string, HardwareIdentity>;

    explicit SysfsWiredHardwareReader(std::filesystem::path root = "/", MediaQuery media = {},
                                      StandIns standIns = {});

    std::vector<WiredInterface> wiredInventory() const override;
    std::optional<HardwareIdentity> registryAdapter(const std::string& name) const override;
    WiredInterface::ConnectionType connectionType(const std::string& name) const override;
    LinkReading linkState(const std::string& name) const override;
    bool qualifiedAdapterOnBus() const override;
    std::string interfaceDescriptions() const override;

    // The labels of the admitted wired interfaces by name: the USB product string, else
    // the model name from udev's hardware database, else "Ethernet".
    std::map<std::string, std::string> wiredInterfaceLabels() const;

    // One interface's diagnostic line, or nothing for a name that is not an interface.
    std::optional<std::string> adapterSummary(const std::string& name) const;

  private:
    std::filesystem::path netEntry(const std::string& name) const;
    std::optional<sysfs::AdapterDevice> adapterDevice(const std::string& name) const;
    WiredInterface::ConnectionType connectionTypeOf(
        const std::optional<sysfs::AdapterDevice>& adapter) const;
    std::string labelOf(const std::string& name, const sysfs::AdapterDevice& adapter) const;

    std::filesystem::path root_;
    MediaQuery media_;
    StandIns standIns_;
};

}  // namespace sorvanta
