#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "support/json_bytes.h"
#include "support/json_codec.h"
#include "support/uuid.h"

namespace sorvanta {

// The identity of one UDP probe leg; every datagram of the leg carries identity bytes
// derived from it.
struct UDPBinding {
    static constexpr std::size_t tokenBytes = 32;
    // Every datagram of a leg starts with these identity bytes: magic, version, kind 0, the
    // four identifiers, the token and the leg.
    static constexpr std::size_t prefixBytes = 103;
    using Prefix = std::array<std::uint8_t, prefixBytes>;

    Uuid run;
    Uuid session;
    // This leg attempt: fresh each time a leg is started.
    Uuid probe;
    // The side that sends the leg's datagrams.
    Uuid sender;
    // 0: the initiator sends; 1: the responder sends.
    std::int64_t leg = 0;
    std::vector<std::uint8_t> token;

    bool operator==(const UDPBinding&) const = default;

    // Throws ProtocolFailure::malformed at the first rule the binding breaks.
    void validate() const;

    // The identity bytes of the leg's datagrams. Meaningful for a binding that validates.
    Prefix datagramPrefix() const;

    static bool isLeg(std::int64_t leg) { return leg == 0 || leg == 1; }

    static UDPBinding fromJson(const json::ObjectReader& r);
    void toJson(json::ObjectWriter& w) const;
};

}  // namespace sorvanta
