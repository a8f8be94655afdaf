#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "protocol/udp_queue_delay.h"
#include "protocol/udp_receive_coverage.h"
#include "protocol/udp_send_summary.h"
#include "support/json_codec.h"
#include "support/uuid.h"

namespace sorvanta {

// The receiving side's result of one UDP probe leg, with the judgements that every reader
// of it (verdict, window, report, re-run plan) shares. Judgements never throw: an
// observation that fails validation has no loss count and answers false.
struct UDPObservation {
    // Limits of a received observation.
    static constexpr std::int64_t maximumUnexplainedHoles = 3'000'000;
    static constexpr double minimumPlannedSeconds = 0.1;
    static constexpr double maximumPlannedSeconds = 6.0;
    static constexpr double maximumArrivalSpan = 10.0;
    static constexpr double maximumTailSeconds = 8.0;
    // A complete leg kept receiving at least this long after the sender's summary arrived.
    static constexpr double minimumCompleteTailSeconds = 0.5;
    static constexpr double jitterLimit = 10.0;
    static constexpr double maximumHighJitterSeconds = 10.0;
    static constexpr std::size_t maximumReasonBytes = 256;
    static constexpr std::size_t maximumPathBytes = 1024;

    // Loss is significant from this many datagrams and this share of the accepted ones.
    static constexpr std::int64_t minimumSignificantLoss = 3;
    static constexpr double minimumSignificantLossPercent = 0.1;
    // Evidence of a leg needs this many distinct datagrams arriving over this share of the
    // planned time.
    static constexpr std::int64_t minimumConclusiveDatagrams = 32;
    static constexpr double minimumArrivalShare = 0.8;
    // Slack between the receive service's checks and the arrivals they must cover.
    static constexpr double coverageSlack = 0.002;
    // The receiver's reason when its sequence range conflicts with the sender's count, and
    // the path text of a receiver whose path is unknown: both stop the loss count.
    static constexpr std::string_view sequenceRangeMarker = "sequence range";
    static constexpr std::string_view unavailablePathMarker = "unavailable";

    Uuid run;
    Uuid session;
    Uuid probe;
    Uuid sender;
    std::int64_t leg = 0;
    // Bits per second the leg was paced against; the sender offers 75 % of it.
    double capacity = 0;
    UDPSendSummary send;
    // 0 for the first run of the leg, 1 for its lower-rate re-run.
    std::int64_t attempt = 0;
    double plannedSeconds = 0;
    std::int64_t unique = 0;
    std::int64_t duplicates = 0;
    std::int64_t outOfOrder = 0;
    // Datagrams that failed the datagram check.
    std::int64_t rejected = 0;
    std::int64_t receiverOverruns = 0;
    std::optional<UDPReceiveCoverage> receiveCoverage;
    std::optional<UDPQueueDelay> queueDelay;
    double arrivalSpan = 0;
    double tailSeconds = 0;
    std::optional<double> jitter;
    std::optional<double> maximumJitter;
    double highJitterSeconds = 0;
    std::optional<std::string> timingReason;
    std::optional<std::string> countReason;
    std::optional<std::string> reason;
    std::string senderPath;
    std::string receiverPath;
    // Lost datagrams not attributed to the receiver's delayed receive-queue service.
    std::optional<std::int64_t> unexplainedHoles;

    bool operator==(const UDPObservation&) const = default;

    // Throws ProtocolFailure::malformed at the first rule the observation breaks.
    void validate() const;

    // Datagrams accepted by the sender that never arrived; absent whenever the counts
    // cannot be trusted for loss.
    std::optional<std::int64_t> lostDatagrams() const noexcept;
    // At least `minimumSignificantLoss` datagrams and `minimumSignificantLossPercent` of
    // the accepted ones.
    bool isSignificantLoss(std::optional<std::int64_t> count) const noexcept;
    bool hasUnexplainedLoss() const noexcept;
    bool receiverLimited() const noexcept;
    bool senderLimited() const noexcept;
    bool isLimited() const noexcept;
    std::optional<double> lossPercent() const noexcept;
    bool noReceiverOverruns() const noexcept;
    bool receiveServiceCovered() const noexcept;
    bool timingUsable() const noexcept;
    bool passedWithoutLoss() const noexcept;

    // A lower-rate re-run of a limited first attempt: the capacity to pace against and its
    // planned seconds.
    struct Plan {
        double capacity = 0;
        double plannedSeconds = 0;
        bool operator==(const Plan&) const = default;
    };
    // The re-run of a first attempt that was limited, aimed at 0.8 of the rate it achieved;
    // absent when no re-run is worth it (below `minimumCapacity`, or not 5 % lower).
    std::optional<Plan> lowerRatePlan(double minimumCapacity) const noexcept;

    // True when every leg is conclusive by its timing evidence or passed without loss.
    static bool allConclusive(std::span<const UDPObservation> observations) noexcept;

    static UDPObservation fromJson(const json::ObjectReader& r);
    void toJson(json::ObjectWriter& w) const;
};

}  // namespace sorvanta
