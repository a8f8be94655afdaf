#pragma once

#include <cstdint>
#include <optional>

#include "support/json_codec.h"

namespace sorvanta {

// One sample of an interface's link state, taken during a run. `offset` is seconds since
// the run's epoch on the monotonic clock.
struct EthernetLinkSample {
    double offset = 0;
    std::optional<bool> active;         // absent when the reader could not tell
    std::optional<std::uint64_t> rate;  // bit/s of the active link
    std::optional<bool> fullDuplex;     // of the active medium, when known

    // Whether the link differs between two samples: its state or its rate (duplex is not
    // a change of the link).
    bool linkDiffers(const EthernetLinkSample& other) const {
        return active != other.active || rate != other.rate;
    }

    static EthernetLinkSample fromJson(const json::ObjectReader& r) {
        return EthernetLinkSample{
            r.required<double>("offset"),
            r.optional<bool>("active"),
            r.optional<std::uint64_t>("rate"),
            r.optional<bool>("fullDuplex"),
        };
    }

    void toJson(json::ObjectWriter& w) const {
        w.field("offset", offset);
        w.field("active", active);
        w.field("rate", rate);
        w.field("fullDuplex", fullDuplex);
    }

    bool operator==(const EthernetLinkSample&) const = default;
};

}  // namespace sorvanta
