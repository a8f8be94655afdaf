#pragma once

#include <cstdint>

#include "support/json_codec.h"

namespace sorvanta {

// One time slice of a TCP load connection: bytes sent and retransmitted between `start`
// and `start + duration`, in seconds on the TCP engine's time base for the connection.
struct TCPSlice {
    double start = 0;
    double duration = 0;
    std::uint64_t sent = 0;
    std::uint64_t retransmitted = 0;

    bool operator==(const TCPSlice&) const = default;

    static TCPSlice fromJson(const json::ObjectReader& r) {
        return {r.required<double>("start"), r.required<double>("duration"),
                r.required<std::uint64_t>("sent"), r.required<std::uint64_t>("retransmitted")};
    }

    void toJson(json::ObjectWriter& w) const {
        w.field("start", start);
        w.field("duration", duration);
        w.field("sent", sent);
        w.field("retransmitted", retransmitted);
    }
};

}  // namespace sorvanta
