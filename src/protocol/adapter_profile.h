#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "protocol/hardware_identity.h"
#include "support/json_codec.h"

namespace sorvanta {

// How fast an adapter can go: its chip's highest link rate, the rate it is expected to
// reach on its current connection, the chip's name and, for USB, the connection rate.
// Rates are bits per second.
struct AdapterProfile {
    std::optional<std::uint64_t> maximum;
    std::optional<std::uint64_t> assured;
    std::optional<std::string> chip;
    std::optional<std::uint64_t> connection;

    // Never fails: an adapter missing from the chipset tables keeps only its USB
    // connection rate, or nothing at all.
    static AdapterProfile fromIdentity(const HardwareIdentity& identity);

    // Checks a profile received from the peer; throws ProtocolFailure::malformed.
    void validate() const;

    static AdapterProfile fromJson(const json::ObjectReader& r);
    void toJson(json::ObjectWriter& w) const;

    bool operator==(const AdapterProfile&) const = default;
};

}  // namespace sorvanta
