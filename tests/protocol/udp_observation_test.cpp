#include "protocol/udp_observation.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "protocol/protocol_failure.h"
#include "protocol/record_coding.h"

namespace sorvanta {
namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr std::int64_t largest = std::numeric_limits<std::int64_t>::max();

// A complete three-second leg whose sender offered 75 % of the capacity, received with
// `unique` of `accepted` datagrams and a regularly serviced receiver.
UDPObservation leg(std::int64_t accepted = 1000, std::int64_t unique = 1000) {
    UDPObservation o;
    o.run = Uuid::random();
    o.session = Uuid::random();
    o.probe = Uuid::random();
    o.sender = Uuid::random();
    o.send.attempted = accepted;
    o.send.accepted = accepted;
    o.send.seconds = 3.0;
    o.send.maximumGap = 0.002;
    o.send.maximumInFlight = 4;
    o.capacity = static_cast<double>(accepted) * 1200 * 8 / 3.0 / 0.75;
    o.plannedSeconds = 3.0;
    o.unique = unique;
    o.receiveCoverage = UDPReceiveCoverage{600, 0.005, 0, 0.1, 3.05};
    o.queueDelay = UDPQueueDelay{};
    o.queueDelay->add(0.0);
    o.queueDelay->add(0.0012);
    o.arrivalSpan = 2.9;
    o.tailSeconds = 1.0;
    o.jitter = 0.0001;
    o.maximumJitter = 0.0003;
    o.senderPath = "en7 · 1 Gbit/s";
    o.receiverPath = "en8 · 1 Gbit/s";
    return o;
}

bool passes(const UDPObservation& observation) {
    try {
        observation.validate();
        return true;
    } catch (const ProtocolFailure& failure) {
        EXPECT_EQ(failure, ProtocolFailure::malformed);
        return false;
    }
}

using Change = void (*)(UDPObservation&);

TEST(UDPObservationTest, RoundTripsThroughJson) {
    auto full = leg();
    full.timingReason = "Timing limited";
    full.countReason = "Counts limited";
    full.reason = "Tail shortened";
    full.unexplainedHoles = 0;
    full.highJitterSeconds = 0.25;
    EXPECT_EQ(decodeRecord<UDPObservation>(encodeRecord(full)), full);

    auto bare = leg();
    bare.receiveCoverage = std::nullopt;
    bare.queueDelay = std::nullopt;
    bare.jitter = std::nullopt;
    bare.maximumJitter = std::nullopt;
    const auto text = encodeRecord(bare);
    EXPECT_EQ(text.find("jitter\""), std::string::npos);
    EXPECT_EQ(decodeRecord<UDPObservation>(text), bare);

    auto missing = text;
    missing.replace(missing.find(R"("receiverPath")"), 14, R"("receiverPat_")");
    EXPECT_THROW(decodeRecord<UDPObservation>(missing), ProtocolFailure);

    auto nonFinite = full;
    nonFinite.capacity = infinity;
    EXPECT_THROW(encodeRecord(nonFinite), json::EncodeError);
}

TEST(UDPObservationTest, ValidationAcceptsTheBounds) {
    for (Change change : std::vector<Change>{
             [](UDPObservation&) {},
             [](UDPObservation& o) { o.plannedSeconds = 0.1; },
             [](UDPObservation& o) { o.plannedSeconds = 6.0; },
             [](UDPObservation& o) { o.tailSeconds = 0.5; },
             [](UDPObservation& o) {
                 o.tailSeconds = -0.0;
                 o.reason = "Summary late";
             },
             [](UDPObservation& o) { o.tailSeconds = 8.0; },
             [](UDPObservation& o) { o.arrivalSpan = 10.0; },
             [](UDPObservation& o) { o.arrivalSpan = -0.0; },
             [](UDPObservation& o) { o.jitter = 10.0; },
             [](UDPObservation& o) { o.maximumJitter = -0.0; },
             [](UDPObservation& o) { o.highJitterSeconds = 10.0; },
             [](UDPObservation& o) { o.unexplainedHoles = 3'000'000; },
             [](UDPObservation& o) { o.outOfOrder = o.unique; },
             [](UDPObservation& o) { o.timingReason = std::string(256, 't'); },
             [](UDPObservation& o) { o.senderPath = std::string(1024, 'p'); },
             [](UDPObservation& o) { o.receiverPath = ""; },
             [](UDPObservation& o) { o.leg = 1; },
             [](UDPObservation& o) { o.attempt = 1; },
             // a reason lifts both bounds of `unique` against the send counts
             [](UDPObservation& o) {
                 o.unique = o.send.attempted + 1;
                 o.reason = "Stray datagrams";
             },
         }) {
        auto observation = leg();
        change(observation);
        EXPECT_TRUE(passes(observation)) << encodeRecord(observation);
    }
}

TEST(UDPObservationTest, ValidationRefusesEachBreach) {
    for (Change change : std::vector<Change>{
             [](UDPObservation& o) { o.send.attempted += 1; },
             [](UDPObservation& o) { o.receiveCoverage->delayedChecks = 1; },
             [](UDPObservation& o) { o.queueDelay->samples = 3; },
             [](UDPObservation& o) { o.unexplainedHoles = -1; },
             [](UDPObservation& o) { o.unexplainedHoles = 3'000'001; },
             [](UDPObservation& o) { o.leg = 2; },
             [](UDPObservation& o) { o.leg = -1; },
             [](UDPObservation& o) { o.attempt = 2; },
             [](UDPObservation& o) { o.plannedSeconds = 0.09; },
             [](UDPObservation& o) { o.plannedSeconds = 6.01; },
             [](UDPObservation& o) { o.plannedSeconds = nan; },
             [](UDPObservation& o) { o.capacity = 0; },
             [](UDPObservation& o) { o.capacity = -0.0; },
             [](UDPObservation& o) { o.capacity = nan; },
             [](UDPObservation& o) { o.capacity = infinity; },
             [](UDPObservation& o) { o.unique = -1; },
             [](UDPObservation& o) { o.unique = o.send.attempted + 1; },
             [](UDPObservation& o) { o.duplicates = -1; },
             [](UDPObservation& o) { o.outOfOrder = o.unique + 1; },
             [](UDPObservation& o) { o.outOfOrder = -1; },
             [](UDPObservation& o) { o.rejected = -1; },
             [](UDPObservation& o) { o.receiverOverruns = -1; },
             [](UDPObservation& o) { o.arrivalSpan = 10.000001; },
             [](UDPObservation& o) { o.arrivalSpan = infinity; },
             [](UDPObservation& o) { o.tailSeconds = 0.49; },
             [](UDPObservation& o) { o.tailSeconds = nan; },
             [](UDPObservation& o) {
                 o.tailSeconds = 8.01;
                 o.reason = "Summary late";
             },
             [](UDPObservation& o) { o.jitter = -0.0001; },
             [](UDPObservation& o) { o.maximumJitter = 10.01; },
             [](UDPObservation& o) { o.jitter = nan; },
             [](UDPObservation& o) { o.highJitterSeconds = -1; },
             [](UDPObservation& o) { o.highJitterSeconds = infinity; },
             [](UDPObservation& o) { o.timingReason = std::string(257, 't'); },
             [](UDPObservation& o) { o.countReason = "a\tb"; },
             [](UDPObservation& o) { o.reason = std::string(257, 'r'); },
             [](UDPObservation& o) { o.senderPath = std::string(1025, 'p'); },
             [](UDPObservation& o) { o.senderPath = "en7\n"; },
             [](UDPObservation& o) { o.receiverPath = "en8\xE2\x80\xA8"; },
             // unique within attempted but above accepted, one submission having failed
             [](UDPObservation& o) {
                 o.send.accepted -= 1;
                 o.send.failed = 1;
             },
             // huge counts are refused without overflowing anything
             [](UDPObservation& o) {
                 o.reason = "Limited";
                 o.unique = largest;
                 o.outOfOrder = largest;
                 o.duplicates = largest;
                 o.send.attempted = largest;
             },
         }) {
        auto observation = leg();
        change(observation);
        EXPECT_FALSE(passes(observation)) << encodeRecord(observation);
        // A judgement never throws, and an invalid record has no loss count.
        EXPECT_FALSE(observation.lostDatagrams());
        EXPECT_FALSE(observation.timingUsable());
        EXPECT_FALSE(observation.passedWithoutLoss());
    }
}

TEST(UDPObservationTest, LossAndItsSignificance) {
    auto observation = leg(1000, 997);
    ASSERT_EQ(observation.lostDatagrams(), 3);
    ASSERT_TRUE(observation.lossPercent());
    EXPECT_DOUBLE_EQ(*observation.lossPercent(), 0.3);
    EXPECT_TRUE(observation.isSignificantLoss(3));
    EXPECT_TRUE(observation.hasUnexplainedLoss());
    EXPECT_FALSE(observation.receiverLimited());
    EXPECT_FALSE(observation.isSignificantLoss(std::nullopt));

    EXPECT_FALSE(leg(10'000, 9'991).hasUnexplainedLoss());  // 0.09 %
    EXPECT_TRUE(leg(3000, 2997).hasUnexplainedLoss());      // exactly 0.1 %
    EXPECT_FALSE(leg(3001, 2998).hasUnexplainedLoss());
    EXPECT_FALSE(leg(100, 98).hasUnexplainedLoss());  // two are never significant
    EXPECT_FALSE(leg(3, 1).isSignificantLoss(2));

    // Counts near the top of the range form their share in double precision.
    EXPECT_TRUE(leg(1, 1).isSignificantLoss(largest));
    EXPECT_FALSE(leg(largest, 0).isSignificantLoss(largest / 2000));
    EXPECT_TRUE(leg(largest, 0).isSignificantLoss(largest / 500));
}

TEST(UDPObservationTest, LossSplitsIntoExplainedAndUnexplained) {
    auto observation = leg(1000, 995);
    observation.unexplainedHoles = 1;
    EXPECT_TRUE(observation.receiverLimited());
    EXPECT_FALSE(observation.hasUnexplainedLoss());
    EXPECT_TRUE(observation.isLimited());

    observation.unexplainedHoles = 9;
    EXPECT_FALSE(observation.receiverLimited());
    EXPECT_TRUE(observation.hasUnexplainedLoss());

    observation.unexplainedHoles = 2;  // three explained, two unexplained
    EXPECT_TRUE(observation.receiverLimited());
    EXPECT_FALSE(observation.hasUnexplainedLoss());
}

TEST(UDPObservationTest, WhatStopsTheLossCount) {
    auto sequence = leg(1000, 990);
    sequence.reason = "Received sequence range conflicts with the reliable sender count.";
    EXPECT_FALSE(sequence.lostDatagrams());

    auto otherReason = leg(1000, 990);
    otherReason.reason = "Tail shortened";
    EXPECT_EQ(otherReason.lostDatagrams(), 10);
    EXPECT_FALSE(otherReason.lossPercent());
    EXPECT_FALSE(otherReason.noReceiverOverruns());

    for (Change change : std::vector<Change>{
             [](UDPObservation& o) { o.countReason = "Counter reset"; },
             [](UDPObservation& o) { o.receiverPath = "Path unavailable"; },
             [](UDPObservation& o) { o.receiverPath = "en8 (unavailable)"; },
             [](UDPObservation& o) { o.send.reason = "Send window shortened"; },
             [](UDPObservation& o) {
                 o.send.accepted -= 1;
                 o.send.failed = 1;
                 o.reason = "Send errors";
             },
             [](UDPObservation& o) {
                 o.send = UDPSendSummary{};
                 o.unique = 0;
             },
             // more distinct datagrams than accepted: absent, never negative
             [](UDPObservation& o) {
                 o.unique = o.send.accepted + 1;
                 o.reason = "Stray datagrams";
             },
         }) {
        auto observation = leg(1000, 990);
        change(observation);
        EXPECT_FALSE(observation.lostDatagrams()) << encodeRecord(observation);
        EXPECT_FALSE(observation.hasUnexplainedLoss());
        EXPECT_FALSE(observation.receiverLimited());
    }

    auto overrun = leg(1000, 990);
    overrun.receiverOverruns = 1;
    EXPECT_EQ(overrun.lostDatagrams(), 10);
    EXPECT_FALSE(overrun.lossPercent());
    EXPECT_FALSE(overrun.noReceiverOverruns());
}

TEST(UDPObservationTest, SenderLimited) {
    auto slow = leg(1000, 1000);
    slow.capacity *= 3;  // offered 25 %
    EXPECT_TRUE(slow.senderLimited());
    EXPECT_TRUE(slow.isLimited());
    EXPECT_FALSE(slow.passedWithoutLoss());

    auto fast = leg(1000, 1000);
    fast.capacity /= 2;  // offered 150 %: not covered, but not short either
    EXPECT_FALSE(fast.senderLimited());

    auto stalled = leg(1000, 1000);
    stalled.send.seconds = 0;  // infinite offered rate
    EXPECT_FALSE(stalled.senderLimited());

    auto failing = slow;
    failing.send.accepted -= 1;
    failing.send.failed = 1;
    EXPECT_FALSE(failing.senderLimited());

    EXPECT_FALSE(leg(1000, 1000).senderLimited());
    // An impossible count is judged in double precision, never wrapping.
    auto huge = leg(1000, 1000);
    huge.send.accepted = largest;
    EXPECT_FALSE(huge.senderLimited());
    huge.capacity = 1e300;
    EXPECT_TRUE(huge.senderLimited());
}

TEST(UDPObservationTest, ReceiveServiceCoverage) {
    auto observation = leg();
    observation.receiveCoverage = UDPReceiveCoverage{2, 2.5, 1, 0.5, 3.0};
    observation.receiveCoverage->delayedChecks = 0;
    observation.arrivalSpan = 2.502;
    EXPECT_TRUE(observation.receiveServiceCovered());
    observation.arrivalSpan = 2.503;
    EXPECT_FALSE(observation.receiveServiceCovered());

    observation.arrivalSpan = 1.0;
    observation.receiveCoverage->delayedChecks = 1;
    EXPECT_FALSE(observation.receiveServiceCovered());
    observation.receiveCoverage->delayedChecks = 0;
    observation.receiveCoverage->checks = 1;
    EXPECT_FALSE(observation.receiveServiceCovered());
    observation.receiveCoverage = std::nullopt;
    EXPECT_FALSE(observation.receiveServiceCovered());

    observation.receiveCoverage = UDPReceiveCoverage{2, 0, 0, std::nullopt, 0.001};
    observation.arrivalSpan = 0.003;  // an absent first check counts as 0
    EXPECT_TRUE(observation.receiveServiceCovered());
}

TEST(UDPObservationTest, TimingAndCleanPass) {
    const auto good = leg();
    EXPECT_TRUE(good.timingUsable());
    EXPECT_TRUE(good.passedWithoutLoss());
    EXPECT_TRUE(good.noReceiverOverruns());

    auto span = leg();
    span.arrivalSpan = 2.4;  // 0.8 × 3.0 lies just above 2.4
    EXPECT_FALSE(span.timingUsable());
    EXPECT_FALSE(span.passedWithoutLoss());
    span.arrivalSpan = 2.41;
    EXPECT_TRUE(span.timingUsable());
    EXPECT_TRUE(span.passedWithoutLoss());

    EXPECT_FALSE(leg(31, 31).passedWithoutLoss());
    EXPECT_FALSE(leg(31, 31).timingUsable());
    EXPECT_TRUE(leg(32, 32).passedWithoutLoss());

    for (Change spoilsTiming : std::vector<Change>{
             [](UDPObservation& o) { o.jitter = std::nullopt; },
             [](UDPObservation& o) { o.timingReason = "Clock stepped"; },
             [](UDPObservation& o) { o.receiverOverruns = 1; },
             [](UDPObservation& o) { o.receiveCoverage = std::nullopt; },
             [](UDPObservation& o) { o.reason = "Tail shortened"; },
         }) {
        auto observation = leg();
        spoilsTiming(observation);
        EXPECT_FALSE(observation.timingUsable());
    }
    for (Change spoilsPass : std::vector<Change>{
             [](UDPObservation& o) { o.duplicates = 1; },
             [](UDPObservation& o) { o.rejected = 1; },
             [](UDPObservation& o) { o.unique -= 1; },
             [](UDPObservation& o) { o.send.capped = true; },
         }) {
        auto observation = leg();
        spoilsPass(observation);
        EXPECT_FALSE(observation.passedWithoutLoss());
    }
}

TEST(UDPObservationTest, AllConclusive) {
    EXPECT_TRUE(UDPObservation::allConclusive({}));

    std::vector<UDPObservation> legs{leg(), leg()};
    legs[1].leg = 1;
    EXPECT_TRUE(UDPObservation::allConclusive(legs));

    // Timing alone is enough when the leg is not limited, despite loss.
    auto lossy = leg(1000, 990);
    EXPECT_TRUE(UDPObservation::allConclusive({&lossy, 1}));
    // A clean pass is enough without timing evidence.
    auto untimed = leg();
    untimed.jitter = std::nullopt;
    EXPECT_TRUE(UDPObservation::allConclusive({&untimed, 1}));

    auto receiverLimited = leg(1000, 995);
    receiverLimited.unexplainedHoles = 1;
    ASSERT_TRUE(receiverLimited.timingUsable());
    EXPECT_FALSE(UDPObservation::allConclusive({&receiverLimited, 1}));
    legs.push_back(receiverLimited);
    EXPECT_FALSE(UDPObservation::allConclusive(legs));
}

}  // namespace
}  // namespace sorvanta
