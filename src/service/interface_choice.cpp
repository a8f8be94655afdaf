#include "service/interface_choice.h"

#include <algorithm>

namespace sorvanta {

bool sameInterface(const NetworkInterface& interface, const InterfaceIdentity& identity) {
    return interface.name == identity.name && interface.index == identity.index;
}

InterfaceIdentity identityOf(const NetworkInterface& interface) {
    return {interface.name, interface.index};
}

namespace {

bool inInventory(const NetworkInterface& interface, const std::vector<WiredInterface>& inventory) {
    return std::any_of(inventory.begin(), inventory.end(), [&](const WiredInterface& entry) {
        return sameInterface(interface, entry.identity);
    });
}

bool listed(const InterfaceIdentity& identity, const std::vector<NetworkInterface>& list) {
    return std::any_of(list.begin(), list.end(), [&](const NetworkInterface& interface) {
        return sameInterface(interface, identity);
    });
}

// The interface the remembered choice names. The exact identity first; failing that, the
// one interface with the remembered name: the kernel gives an adapter that was unplugged
// and plugged back (or re-enumerated on a bus after sleep) a new index, and without this
// the choice could never be met again.
std::optional<NetworkInterface> preferredMatch(const std::vector<NetworkInterface>& usable,
                                               const InterfaceIdentity& preferred) {
    auto exact = std::find_if(usable.begin(), usable.end(),
                              [&](const auto& i) { return sameInterface(i, preferred); });
    if (exact != usable.end()) {
        return *exact;
    }
    auto named = std::find_if(usable.begin(), usable.end(),
                              [&](const auto& i) { return i.name == preferred.name; });
    if (named != usable.end()) {
        return *named;
    }
    return std::nullopt;
}

}  // namespace

std::vector<NetworkInterface> usableInterfaces(const std::vector<NetworkInterface>& current,
                                               const std::vector<NetworkInterface>& available,
                                               const std::vector<WiredInterface>& inventory) {
    std::vector<NetworkInterface> usable;
    auto consider = [&](const NetworkInterface& interface) {
        if (interface.type != InterfaceType::wiredEthernet || !inInventory(interface, inventory) ||
            listed(identityOf(interface), usable)) {
            return;
        }
        usable.push_back(interface);
    };
    std::for_each(current.begin(), current.end(), consider);
    std::for_each(available.begin(), available.end(), consider);
    std::stable_sort(usable.begin(), usable.end(),
                     [](const auto& a, const auto& b) { return a.index < b.index; });
    return usable;
}

std::vector<WiredInterface> usableInventory(const std::vector<WiredInterface>& inventory,
                                            const std::vector<NetworkInterface>& usable) {
    std::vector<WiredInterface> entries;
    for (const WiredInterface& entry : inventory) {
        if (listed(entry.identity, usable)) {
            entries.push_back(entry);
        }
    }
    return entries;
}

InterfaceDecision decideInterface(bool inventoryEmpty,
                                  const std::optional<NetworkInterface>& selected,
                                  const std::vector<NetworkInterface>& usable,
                                  const std::optional<InterfaceIdentity>& preferred) {
    using Kind = InterfaceDecision::Kind;
    InterfaceDecision decision;
    if (inventoryEmpty) {
        decision.kind = Kind::noAdapter;
        return decision;
    }
    if (selected) {
        if (listed(identityOf(*selected), usable)) {
            decision.kind = Kind::keepSelected;
            return decision;
        }
        decision.selectedLost = true;
    }
    if (preferred) {
        if (auto match = preferredMatch(usable, *preferred)) {
            decision.kind = Kind::startOn;
            decision.interface = *match;
            // A new index under the remembered name is stored, so the choice follows it.
            decision.remember = !sameInterface(*match, *preferred);
        } else {
            decision.kind = Kind::preferredMissing;
        }
        return decision;
    }
    if (usable.size() == 1) {
        decision.kind = Kind::startOn;
        decision.interface = usable.front();
        decision.remember = true;
        return decision;
    }
    decision.kind = usable.empty() ? Kind::waiting : Kind::chooseAdapter;
    return decision;
}

std::string decisionStatus(InterfaceDecision::Kind kind) {
    switch (kind) {
        case InterfaceDecision::Kind::noAdapter:
            return "Connect an Ethernet adapter, then choose Search Again.";
        case InterfaceDecision::Kind::preferredMissing:
            return "Selected Ethernet adapter unavailable. Reconnect it or choose an adapter.";
        case InterfaceDecision::Kind::waiting:
            return "Waiting for Ethernet discovery.";
        case InterfaceDecision::Kind::chooseAdapter:
            return "Choose the Ethernet adapter connected to the other Mac.";
        case InterfaceDecision::Kind::keepSelected:
        case InterfaceDecision::Kind::startOn:
            break;
    }
    return {};
}

std::optional<NetworkInterface> pinnedInInventory(const NetworkInterface& pinned,
                                                  const std::vector<WiredInterface>& inventory) {
    std::optional<NetworkInterface> found;
    for (const WiredInterface& entry : inventory) {
        if (sameInterface(pinned, entry.identity)) {
            return pinned;
        }
        if (entry.identity.name == pinned.name) {
            found = NetworkInterface{entry.identity.name, entry.identity.index, pinned.type};
        }
    }
    return found;
}

std::optional<NetworkInterface> bootstrapCandidate(
    const std::vector<NetworkInterface>& usable,
    const std::optional<InterfaceIdentity>& preferred) {
    if (preferred) {
        return preferredMatch(usable, *preferred);
    }
    if (usable.size() == 1) {
        return usable.front();
    }
    return std::nullopt;
}

}  // namespace sorvanta
