#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "platform/system/link_reading.h"
#include "protocol/adapter_profile.h"
#include "protocol/ethernet_counter_snapshot.h"

// What a run reads of its surroundings besides the engines and its timers: the local
// interface's counters and link, Low Power Mode and random bytes. Injected, so that tests
// script them.
namespace sorvanta {

// The readers behind a run's Ethernet evidence; each answers synchronously and never fails.
class RunEvidenceSource {
  public:
    virtual ~RunEvidenceSource() = default;
    virtual EthernetCounterSnapshot counters(const std::string& interface, std::int64_t index,
                                             double offset) = 0;
    // The index the name denotes now; absent when there is no such interface.
    virtual std::optional<std::int64_t> interfaceIndex(const std::string& interface) = 0;
    virtual LinkReading link(const std::string& interface) = 0;
    // The profile of the adapter behind the interface when it is known and admitted.
    virtual std::optional<AdapterProfile> admittedAdapter(const std::string& interface) = 0;
    virtual bool lowPowerMode() = 0;
};

// Fills the buffer with secure random bytes; false when the source failed.
using RandomFill = std::function<bool(std::span<std::uint8_t>)>;

}  // namespace sorvanta
