#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "support/json_codec.h"

namespace sorvanta {

// Histogram of receive-side queueing delays of one probe leg: each sample is a datagram's
// one-way transit less the fastest transit seen so far, so it measures endpoint backlog
// rather than cable delay.
struct UDPQueueDelay {
    static constexpr std::size_t bucketCount = 7;
    static constexpr std::int64_t maximumSamples = 3'000'000;
    static constexpr double maximumDelay = 10.0;
    // A delay goes into the first bucket whose upper bound it is below; the last bucket
    // takes everything from 16 ms up to `maximumDelay`.
    static constexpr std::array<double, bucketCount - 1> bucketUpperBounds{0.0005, 0.001, 0.002,
                                                                           0.004,  0.008, 0.016};

    std::int64_t samples = 0;
    double total = 0;
    double maximum = 0;
    std::vector<std::int64_t> buckets = std::vector<std::int64_t>(bucketCount, 0);

    bool operator==(const UDPQueueDelay&) const = default;

    // Counts one delay in seconds. Drops, without a trace, a delay that is not a finite
    // number within 0 … `maximumDelay`, any delay beyond `maximumSamples`, and every delay
    // when the histogram does not hold exactly `bucketCount` buckets.
    void add(double delay) noexcept;

    // Throws ProtocolFailure::malformed at the first rule the histogram breaks.
    void validate() const;

    static UDPQueueDelay fromJson(const json::ObjectReader& r);
    void toJson(json::ObjectWriter& w) const;
};

}  // namespace sorvanta
