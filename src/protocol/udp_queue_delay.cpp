#include "protocol/udp_queue_delay.h"

#include <algorithm>

#include "protocol/udp_rules.h"

namespace sorvanta {

using namespace udp_rules;

void UDPQueueDelay::add(double delay) noexcept {
    if (!isWithin(delay, maximumDelay) || samples >= maximumSamples ||
        buckets.size() != bucketCount) {
        return;
    }
    ++samples;
    total += delay;
    if (maximum <= delay) {
        maximum = delay;
    }
    const auto bound = std::upper_bound(bucketUpperBounds.begin(), bucketUpperBounds.end(), delay);
    increment(buckets[static_cast<std::size_t>(bound - bucketUpperBounds.begin())]);
}

void UDPQueueDelay::validate() const {
    require(buckets.size() == bucketCount && isCountWithin(samples, maximumSamples));
    std::int64_t sum = 0;
    for (const auto bucket : buckets) {
        require(isCountWithin(bucket, maximumSamples));
        sum += bucket;  // at most seven times the bound: no overflow
    }
    require(sum == samples);
    require(isFiniteNonNegative(total));
    require(isWithin(maximum, maximumDelay));
    require(samples != 0 || (total == 0 && maximum == 0));
}

UDPQueueDelay UDPQueueDelay::fromJson(const json::ObjectReader& r) {
    return {r.required<std::int64_t>("samples"), r.required<double>("total"),
            r.required<double>("maximum"), r.required<std::vector<std::int64_t>>("buckets")};
}

void UDPQueueDelay::toJson(json::ObjectWriter& w) const {
    w.field("samples", samples);
    w.field("total", total);
    w.field("maximum", maximum);
    w.field("buckets", buckets);
}

}  // namespace sorvanta
