#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "support/json_codec.h"

namespace sorvanta {

// One reading of an interface's generic error and drop counters (the kernel's 32-bit
// counters) with what identifies the device and its link-state history at that moment.
struct EthernetCounterSnapshot {
    static constexpr std::string_view statisticsUnavailable =
        "Selected interface statistics unavailable.";
    static constexpr std::string_view identityChanged = "Selected interface identity changed.";
    static constexpr std::string_view linkIdentityMismatched =
        "AF_LINK interface identity mismatched.";

    double offset = 0;  // seconds since the run's epoch
    // Identifies this network device; another device that takes the name gets another.
    std::optional<std::uint64_t> registryID;
    // Changes whenever the link's state changes.
    std::optional<std::string> administrativeChange;
    std::optional<std::uint32_t> rxErrors;
    std::optional<std::uint32_t> txErrors;
    std::optional<std::uint32_t> inputDrops;
    // Why the reading is missing or partial; absent when it succeeded.
    std::optional<std::string> reason;

    static EthernetCounterSnapshot fromJson(const json::ObjectReader& r);
    void toJson(json::ObjectWriter& w) const;

    bool operator==(const EthernetCounterSnapshot&) const = default;
};

}  // namespace sorvanta
