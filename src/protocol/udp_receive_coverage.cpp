#include "protocol/udp_receive_coverage.h"

#include "protocol/udp_rules.h"

namespace sorvanta {

using namespace udp_rules;

void UDPReceiveCoverage::record(double time) noexcept {
    if (last) {
        const double gap = time - *last;
        if (maximumGap <= gap) {  // a gap that is not a number leaves it unchanged
            maximumGap = gap;
        }
        if (gap > delayedGap) {
            increment(delayedChecks);
        }
    }
    if (!first) {
        first = time;
    }
    last = time;
    increment(checks);
}

void UDPReceiveCoverage::validate() const {
    require(isCountWithin(checks, maximumChecks));
    require(isCountWithin(delayedChecks, checks));
    require(isWithin(maximumGap, maximumGapLimit));
    require(isWithin(first, maximumTime) && isWithin(last, maximumTime));
    if (!last) {
        require(!first && checks == 0 && maximumGap == 0);
    } else {
        require(first && checks >= 1 && *last >= *first);
        if (checks == 1) {
            require(maximumGap == 0);
        } else {
            const double meanGap = (*last - *first) / static_cast<double>(checks - 1);
            require(maximumGap + meanGapTolerance >= meanGap);
        }
    }
    require((delayedChecks > 0) == (maximumGap > delayedGap));
}

UDPReceiveCoverage UDPReceiveCoverage::fromJson(const json::ObjectReader& r) {
    return {r.required<std::int64_t>("checks"), r.required<double>("maximumGap"),
            r.required<std::int64_t>("delayedChecks"), r.optional<double>("first"),
            r.optional<double>("last")};
}

void UDPReceiveCoverage::toJson(json::ObjectWriter& w) const {
    w.field("checks", checks);
    w.field("maximumGap", maximumGap);
    w.field("delayedChecks", delayedChecks);
    w.field("first", first);
    w.field("last", last);
}

}  // namespace sorvanta
