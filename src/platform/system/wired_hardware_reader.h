#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/system/link_reading.h"
#include "protocol/hardware_identity.h"
#include "protocol/wired_interface.h"

namespace sorvanta {

// What the machine's hardware says about its wired adapters. Every call reads afresh and
// never throws: a failed read gives an absent value, an `other` identity, `unknown`, false
// or a skipped interface. Calls are short blocking reads, safe from any thread.
class WiredHardwareReader {
  public:
    virtual ~WiredHardwareReader() = default;

    // The admitted wired Ethernet interfaces with their link state and adapter profile,
    // sorted by interface index.
    virtual std::vector<WiredInterface> wiredInventory() const = 0;

    // The adapter behind a network interface; absent when nothing can be found at all.
    virtual std::optional<HardwareIdentity> registryAdapter(const std::string& name) const = 0;

    // `unknown` unless the adapter is admitted.
    virtual WiredInterface::ConnectionType connectionType(const std::string& name) const = 0;

    virtual LinkReading linkState(const std::string& name) const = 0;

    // Whether a qualified USB Ethernet adapter is on the bus, even before its interface
    // exists.
    virtual bool qualifiedAdapterOnBus() const = 0;

    // One diagnostic line per network interface (at most 32), joined by line feeds.
    virtual std::string interfaceDescriptions() const = 0;
};

}  // namespace sorvanta
