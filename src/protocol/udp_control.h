#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/udp_observation.h"
#include "protocol/udp_send_summary.h"
#include "support/json_bytes.h"
#include "support/json_codec.h"
#include "support/uuid.h"

namespace sorvanta {

// What the two sides exchange over the control connection about one UDP probe leg. Which
// fields a message kind must carry is the test-protocol validation's business; `validate`
// checks the values of whatever is present.
struct UDPControl {
    static constexpr std::int64_t maximumProgress = 3'000'000;
    static constexpr std::size_t maximumPathBytes = 1024;

    // The leg attempt (a binding's `probe`).
    Uuid probe;
    std::int64_t leg = 0;
    // Where the receiving side listens for the leg.
    std::optional<std::uint16_t> port;
    std::optional<std::vector<std::uint8_t>> token;
    // The receiving side's running count during the leg.
    std::optional<std::int64_t> progress;
    std::optional<UDPSendSummary> send;
    std::optional<UDPObservation> result;
    // The network path of the side that sends the record; bounded in length only.
    std::optional<std::string> path;

    bool operator==(const UDPControl&) const = default;

    // Throws ProtocolFailure::malformed at the first rule the record breaks.
    void validate() const;

    static UDPControl fromJson(const json::ObjectReader& r);
    void toJson(json::ObjectWriter& w) const;
};

}  // namespace sorvanta
