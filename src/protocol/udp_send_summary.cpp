#include "protocol/udp_send_summary.h"

#include <cmath>

#include "protocol/udp_rules.h"

namespace sorvanta {

using namespace udp_rules;

void UDPSendSummary::validate() const {
    require(isCountWithin(attempted, maximumAttempted));
    // Each count is bounded before the sum is formed, so the sum cannot overflow.
    require(isCountWithin(accepted, attempted) && isCountWithin(failed, attempted) &&
            accepted + failed <= attempted);
    require(reason || accepted + failed == attempted);
    require(isWithin(seconds, maximumSeconds));
    require(pacingGaps >= 0 && discardedSlots >= 0);
    require(isFiniteNonNegative(maximumGap));
    require(isCountWithin(maximumInFlight, maximumInFlightLimit));
    require(isWithin(measurementStart, maximumTime) && isWithin(measurementEnd, maximumTime) &&
            isWithin(firstSubmission, maximumTime) && isWithin(lastSubmission, maximumTime));
    require(isAbsentOrBoundedSafeText(reason, maximumReasonBytes));
    require(measurementStart.has_value() == measurementEnd.has_value() &&
            firstSubmission.has_value() == lastSubmission.has_value());

    if (measurementStart) {
        require(*measurementEnd >= *measurementStart &&
                std::fabs(*measurementEnd - *measurementStart - seconds) <= windowTolerance);
    }
    if (firstSubmission) {
        const double lower = measurementStart.value_or(0.0);
        const double upper = measurementEnd.value_or(submissionsUpperWithoutWindow);
        require(lower <= *firstSubmission && *firstSubmission <= *lastSubmission &&
                *lastSubmission <= upper);
    }
}

bool UDPSendSummary::coversIntendedRange(double capacity, double plannedSeconds) const noexcept {
    if (!passes([this] { validate(); })) {
        return false;
    }
    if (!(std::isfinite(seconds) && seconds > 0 && std::isfinite(capacity) && capacity > 0)) {
        return false;
    }
    if (reason || failed != 0 || capped) {
        return false;
    }
    if (!(plannedSeconds - plannedSecondsTolerance <= seconds &&
          seconds <= plannedSeconds + plannedSecondsTolerance)) {
        return false;
    }
    if (!(maximumGap <= maximumCoveringGap)) {
        return false;
    }
    const double offered = offeredBitsPerSecond(accepted, datagramBytes, seconds);
    return lowestOfferedShare * capacity <= offered && offered <= highestOfferedShare * capacity;
}

UDPSendSummary UDPSendSummary::fromJson(const json::ObjectReader& r) {
    return {r.required<std::int64_t>("attempted"),
            r.required<std::int64_t>("accepted"),
            r.required<std::int64_t>("failed"),
            r.required<double>("seconds"),
            r.optional<double>("measurementStart"),
            r.optional<double>("measurementEnd"),
            r.optional<double>("firstSubmission"),
            r.optional<double>("lastSubmission"),
            r.required<std::int64_t>("pacingGaps"),
            r.required<std::int64_t>("discardedSlots"),
            r.required<double>("maximumGap"),
            r.required<std::int64_t>("maximumInFlight"),
            r.required<bool>("capped"),
            r.optional<std::string>("reason")};
}

void UDPSendSummary::toJson(json::ObjectWriter& w) const {
    w.field("attempted", attempted);
    w.field("accepted", accepted);
    w.field("failed", failed);
    w.field("seconds", seconds);
    w.field("measurementStart", measurementStart);
    w.field("measurementEnd", measurementEnd);
    w.field("firstSubmission", firstSubmission);
    w.field("lastSubmission", lastSubmission);
    w.field("pacingGaps", pacingGaps);
    w.field("discardedSlots", discardedSlots);
    w.field("maximumGap", maximumGap);
    w.field("maximumInFlight", maximumInFlight);
    w.field("capped", capped);
    w.field("reason", reason);
}

}  // namespace sorvanta
