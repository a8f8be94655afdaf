#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/net/network_interface.h"
#include "protocol/interface_identity.h"
#include "protocol/wired_interface.h"

namespace sorvanta {

// Which wired interfaces discovery may use, and which one it pins. Pure: fed the
// hardware inventory, the path's interfaces and the remembered choice.

// The usable interfaces: those both the hardware inventory and the network path list,
// the current list first so that an interface whose link dropped stays while its adapter
// is present, each identity once, sorted by index.
std::vector<NetworkInterface> usableInterfaces(const std::vector<NetworkInterface>& current,
                                               const std::vector<NetworkInterface>& available,
                                               const std::vector<WiredInterface>& inventory);

// The inventory entries that are usable, in inventory order.
std::vector<WiredInterface> usableInventory(const std::vector<WiredInterface>& inventory,
                                            const std::vector<NetworkInterface>& usable);

bool sameInterface(const NetworkInterface& interface, const InterfaceIdentity& identity);
InterfaceIdentity identityOf(const NetworkInterface& interface);

// What a path update leads to once the interface list is rebuilt.
struct InterfaceDecision {
    enum class Kind {
        noAdapter,         // tear down; ask for an adapter
        keepSelected,      // the pinned interface is still there: publish only
        startOn,           // pin `interface` (and remember it when `remember`)
        preferredMissing,  // the preferred adapter is absent; never fall back
        waiting,           // nothing usable yet
        chooseAdapter,     // two or more and no preference
    };
    Kind kind = Kind::waiting;
    // The pinned interface is gone: discovery is torn down before the choice.
    bool selectedLost = false;
    std::optional<NetworkInterface> interface;
    bool remember = false;
};

InterfaceDecision decideInterface(bool inventoryEmpty,
                                  const std::optional<NetworkInterface>& selected,
                                  const std::vector<NetworkInterface>& usable,
                                  const std::optional<InterfaceIdentity>& preferred);

// The status text of the three cases that pin nothing.
std::string decisionStatus(InterfaceDecision::Kind kind);

// The pinned interface as the inventory lists it now: itself; the interface of the same name
// under the index the kernel gave it when the adapter came back; nothing once it is gone.
std::optional<NetworkInterface> pinnedInInventory(const NetworkInterface& pinned,
                                                  const std::vector<WiredInterface>& inventory);

// During unpinned discovery: the interface browse results point at, if one is clear.
std::optional<NetworkInterface> bootstrapCandidate(
    const std::vector<NetworkInterface>& usable, const std::optional<InterfaceIdentity>& preferred);

}  // namespace sorvanta
