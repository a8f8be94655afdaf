#pragma once

#include <cstdint>
#include <optional>

#include "protocol/record_fields.h"
#include "support/json_codec.h"

namespace sorvanta {

// bytes × 8 ÷ seconds, computed in double; absent unless `seconds` is finite and positive
// and the quotient finite.
std::optional<double> bitsPerSecondOf(std::uint64_t bytes, double seconds);

// One interval of a receiver's one-second series, on the receiver's time base.
struct ThroughputInterval {
    double start = 0;
    double end = 0;
    std::uint64_t bytes = 0;

    bool operator==(const ThroughputInterval&) const = default;

    // bytes × 8 ÷ (end − start); absent unless the span is finite and positive and the
    // quotient finite.
    std::optional<double> bitsPerSecond() const;

    static constexpr auto fields() {
        return std::tuple{recordField("start", &ThroughputInterval::start),
                          recordField("end", &ThroughputInterval::end),
                          recordField("bytes", &ThroughputInterval::bytes)};
    }
    static ThroughputInterval fromJson(const json::ObjectReader& r);
    void toJson(json::ObjectWriter& w) const;
};

}  // namespace sorvanta
