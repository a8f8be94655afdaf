#include "protocol/udp_observation.h"

#include <gtest/gtest.h>

#include "record_checks.h"

namespace sorvanta {
namespace {

using namespace testing_support;
using O = UDPObservation;
constexpr std::int64_t largest = std::numeric_limits<std::int64_t>::max();

// A complete three-second leg whose sender offered 75 % of the capacity, received with
// `unique` of `accepted` datagrams and a regularly serviced receiver.
O leg(std::int64_t accepted = 1000, std::int64_t unique = 1000) {
    O o;
    o.send.attempted = o.send.accepted = accepted;
    o.send.seconds = 3.0;
    o.send.maximumGap = 0.002;
    o.capacity = static_cast<double>(accepted) * 1200 * 8 / 3.0 / 0.75;
    o.plannedSeconds = 3.0;
    o.unique = unique;
    o.receiveCoverage = UDPReceiveCoverage{600, 0.005, 0, 0.1, 3.05};
    o.queueDelay = UDPQueueDelay{};
    o.queueDelay->add(0.0012);
    o.queueDelay->add(0.0005);
    o.arrivalSpan = 2.9;
    o.tailSeconds = 1.0;
    o.jitter = 0.0001;
    o.senderPath = "en7 · 1 Gbit/s";
    o.receiverPath = "en8 · 1 Gbit/s";
    return o;
}

TEST(UDPObservationTest, Validation) {
    const auto base = leg();
    auto withReason = leg();
    withReason.reason = "Summary late";
    expectBounds(base, &O::plannedSeconds, {0.1, 6.0}, {0.09, 6.01, nan});
    expectBounds(base, &O::capacity, {1e-300}, {-0.0, infinity, nan});
    expectBounds(base, &O::leg, {0, 1}, {-1, 2});
    expectBounds(base, &O::attempt, {0, 1}, {-1, 2});
    expectBounds(base, &O::unexplainedHoles, {std::nullopt, 0, 3'000'000}, {-1, 3'000'001});
    expectBounds(base, &O::unique, {0, 1000}, {-1, 1001});
    // A reason lifts both bounds of `unique` against the send counts.
    expectBounds(withReason, &O::unique, {1001, largest}, {-1});
    expectBounds(base, &O::duplicates, {0}, {-1});
    expectBounds(base, &O::rejected, {0}, {-1});
    expectBounds(base, &O::receiverOverruns, {0}, {-1});
    expectBounds(base, &O::outOfOrder, {0, 1000}, {-1, 1001});
    expectBounds(base, &O::arrivalSpan, {-0.0, 10.0}, {10.000001, nan});
    expectBounds(base, &O::tailSeconds, {0.5, 8.0}, {0.49, 8.01});
    expectBounds(withReason, &O::tailSeconds, {-0.0}, {-0.01, 8.01, infinity});
    expectBounds(base, &O::jitter, {std::nullopt, -0.0, 10.0}, {-0.0001, 10.01, nan});
    expectBounds(base, &O::maximumJitter, {10.0}, {10.01, infinity});
    expectBounds(base, &O::highJitterSeconds, {10.0}, {10.01, infinity});
    for (auto text : {&O::reason, &O::timingReason, &O::countReason}) {
        expectBounds(withReason, text, {std::string(256, 't')}, {std::string(257, 't'), "a\tb"});
    }
    for (auto path : {&O::senderPath, &O::receiverPath}) {
        expectBounds(base, path, {"", std::string(1024, 'p')},
                     {std::string(1025, 'p'), "en7\n", "en8\xE2\x80\xA8"});
    }
    // Nested records are validated, and a completed leg cannot exceed what was accepted.
    expectValidity<O>(
        base,
        {[](O& o) { o.send.attempted += 1; }, [](O& o) { o.receiveCoverage->delayedChecks = 1; },
         [](O& o) { o.queueDelay->samples = 3; },
         [](O& o) { o.send.accepted -= 1, o.send.failed = 1; }},
        false);
}

TEST(UDPObservationTest, JudgementsOfAnInvalidLegSayNo) {
    for (auto breach : std::vector<void (*)(O&)>{
             [](O& o) { o.send.attempted += 1; }, [](O& o) { o.queueDelay->samples = 3; },
             [](O& o) { o.plannedSeconds = nan; }, [](O& o) { o.capacity = infinity; },
             [](O& o) { o.outOfOrder = o.unique + 1; }, [](O& o) { o.senderPath = "\n"; },
             [](O& o) {
                 o.reason = "Limited";
                 o.unique = o.outOfOrder = o.duplicates = o.send.attempted = largest;
             }}) {
        auto observation = leg(1000, 990);
        breach(observation);
        EXPECT_FALSE(observation.lostDatagrams() || observation.lossPercent());
        EXPECT_FALSE(observation.timingUsable() || observation.passedWithoutLoss() ||
                     observation.noReceiverOverruns());
    }
}

TEST(UDPObservationTest, LossAndItsSignificance) {
    const auto observation = leg(1000, 997);
    EXPECT_EQ(observation.lostDatagrams(), 3);
    EXPECT_DOUBLE_EQ(observation.lossPercent().value_or(-1), 0.3);
    EXPECT_TRUE(observation.hasUnexplainedLoss());
    EXPECT_FALSE(observation.receiverLimited() || observation.isSignificantLoss(std::nullopt));

    EXPECT_FALSE(leg(10'000, 9'991).hasUnexplainedLoss());  // 0.09 %
    EXPECT_TRUE(leg(3000, 2997).hasUnexplainedLoss());      // exactly 0.1 %
    EXPECT_FALSE(leg(3001, 2998).hasUnexplainedLoss());
    EXPECT_FALSE(leg(100, 98).hasUnexplainedLoss());  // two are never significant
    // Shares of counts near the top of the range are formed in double precision.
    EXPECT_TRUE(leg(1, 1).isSignificantLoss(largest));
    EXPECT_FALSE(leg(largest, 0).isSignificantLoss(largest / 2000));
    EXPECT_TRUE(leg(largest, 0).isSignificantLoss(largest / 500));

    auto split = leg(1000, 995);
    split.unexplainedHoles = 1;  // one unexplained, four explained
    EXPECT_TRUE(split.receiverLimited() && split.isLimited());
    EXPECT_FALSE(split.hasUnexplainedLoss());
    split.unexplainedHoles = 9;  // all five unexplained
    EXPECT_FALSE(split.receiverLimited());
    EXPECT_TRUE(split.hasUnexplainedLoss());
}

TEST(UDPObservationTest, WhatStopsTheLossCount) {
    auto otherReason = leg(1000, 990);
    otherReason.reason = "Tail shortened";
    EXPECT_EQ(otherReason.lostDatagrams(), 10);
    EXPECT_FALSE(otherReason.lossPercent() || otherReason.noReceiverOverruns());
    auto overrun = leg(1000, 990);
    overrun.receiverOverruns = 1;
    EXPECT_EQ(overrun.lostDatagrams(), 10);
    EXPECT_FALSE(overrun.lossPercent() || overrun.noReceiverOverruns());

    for (auto stop : std::vector<void (*)(O&)>{
             [](O& o) { o.reason = "Received sequence range conflicts with the sender count."; },
             [](O& o) { o.countReason = "Counter reset"; },
             [](O& o) { o.receiverPath = "en8 (unavailable)"; },
             [](O& o) { o.send.reason = "Send window shortened"; },
             [](O& o) { o.send.accepted -= 1, o.send.failed = 1, o.reason = "Errors"; },
             [](O& o) { o.send = UDPSendSummary{}, o.unique = 0; },
             [](O& o) { o.unique = o.send.accepted + 1, o.reason = "Stray"; }  // never negative
         }) {
        auto observation = leg(1000, 990);
        stop(observation);
        EXPECT_FALSE(observation.lostDatagrams());
        EXPECT_FALSE(observation.hasUnexplainedLoss() || observation.receiverLimited());
    }
}

TEST(UDPObservationTest, SenderLimited) {
    EXPECT_FALSE(leg().senderLimited());
    auto slow = leg();
    slow.capacity *= 3;  // offered 25 %
    EXPECT_TRUE(slow.senderLimited() && slow.isLimited());
    EXPECT_FALSE(slow.passedWithoutLoss());
    slow.send.accepted -= 1;
    slow.send.failed = 1;  // not a clean send
    EXPECT_FALSE(slow.senderLimited());

    auto fast = leg();
    fast.capacity /= 2;  // offered 150 %: not covered, but not short either
    EXPECT_FALSE(fast.senderLimited());
    auto stalled = leg();
    stalled.send.seconds = 0;  // infinite offered rate
    EXPECT_FALSE(stalled.senderLimited());
    auto huge = leg();  // an impossible count, judged in double precision
    huge.send.accepted = largest;
    EXPECT_FALSE(huge.senderLimited());
    huge.capacity = 1e300;
    huge.send.accepted = 1'000'000;  // 3.2 Gbit/s, short even of the pacer's ceiling
    EXPECT_TRUE(huge.senderLimited());
}

TEST(UDPObservationTest, CappedPacerIsHeldToItsCeiling) {
    // Above 12.8 Gbit/s the pacer offers its ceiling, 9.6 Gbit/s, not 75 %: a sender is
    // short when it offered less than 70 % of what the pacer could ask of the ceiling.
    const struct {
        double capacity, offered;
        bool limited;
    } rows[] = {
        {20e9, 9.0e9, false},   {20e9, 8.9e9, true},  {12.8e9, 8.97e9, false},
        {12.8e9, 8.95e9, true}, {10e9, 6.9e9, true},  {10e9, 7.1e9, false},
    };
    for (const auto& row : rows) {
        auto o = leg();
        o.capacity = row.capacity;
        o.send.capped = row.capacity > 12.8e9;
        o.send.attempted = o.send.accepted = static_cast<std::int64_t>(row.offered * 3.0 / 9600);
        o.unique = o.send.accepted;
        EXPECT_EQ(o.senderLimited(), row.limited) << row.capacity << " " << row.offered;
        EXPECT_EQ(o.lowerRatePlan(50e6).has_value(), row.limited)
            << row.capacity << " " << row.offered;
    }
}

TEST(UDPObservationTest, TimingAndCleanPass) {
    EXPECT_TRUE(leg().timingUsable() && leg().passedWithoutLoss() && leg().noReceiverOverruns());
    auto span = leg();
    span.arrivalSpan = 2.4;  // 0.8 × 3.0 lies just above 2.4
    EXPECT_FALSE(span.timingUsable() || span.passedWithoutLoss());
    span.arrivalSpan = 2.41;
    EXPECT_TRUE(span.timingUsable() && span.passedWithoutLoss());
    EXPECT_FALSE(leg(31, 31).passedWithoutLoss() || leg(31, 31).timingUsable());
    EXPECT_TRUE(leg(32, 32).passedWithoutLoss());

    // The receive service covers the arrivals within 2 ms of slack.
    auto covered = leg();
    covered.receiveCoverage = UDPReceiveCoverage{2, 2.5, 0, 0.5, 3.0};
    covered.arrivalSpan = 2.502;
    EXPECT_TRUE(covered.receiveServiceCovered());
    covered.arrivalSpan = 2.503;
    EXPECT_FALSE(covered.receiveServiceCovered());
    for (auto coverage : {UDPReceiveCoverage{2, 0.5, 1, 0, 3}, UDPReceiveCoverage{1, 0, 0, 0, 3}}) {
        covered.receiveCoverage = coverage;
        EXPECT_FALSE(covered.receiveServiceCovered());
    }

    for (auto spoil : std::vector<void (*)(O&)>{
             [](O& o) { o.jitter = std::nullopt; }, [](O& o) { o.timingReason = "Clock stepped"; },
             [](O& o) { o.receiverOverruns = 1; }, [](O& o) { o.receiveCoverage = std::nullopt; },
             [](O& o) { o.reason = "Tail shortened"; }}) {
        auto observation = leg();
        spoil(observation);
        EXPECT_FALSE(observation.timingUsable());
    }
    for (auto spoil : std::vector<void (*)(O&)>{
             [](O& o) { o.duplicates = 1; }, [](O& o) { o.rejected = 1; },
             [](O& o) { o.unique -= 1; }, [](O& o) { o.send.capped = true; }}) {
        auto observation = leg();
        spoil(observation);
        EXPECT_FALSE(observation.passedWithoutLoss());
    }
}

TEST(UDPObservationTest, AllConclusive) {
    EXPECT_TRUE(O::allConclusive({}));
    std::vector<O> legs{leg(), leg(1000, 990)};  // timing alone suffices despite loss
    EXPECT_TRUE(O::allConclusive(legs));
    legs[0].jitter = std::nullopt;  // a clean pass suffices without timing
    EXPECT_TRUE(O::allConclusive(legs));
    auto receiverLimited = leg(1000, 995);
    receiverLimited.unexplainedHoles = 1;
    ASSERT_TRUE(receiverLimited.timingUsable());
    legs.push_back(receiverLimited);
    EXPECT_FALSE(O::allConclusive(legs));
}

TEST(UDPObservationTest, RoundTrip) {
    auto full = leg();
    full.maximumJitter = 0.0003;
    full.timingReason = "Timing limited";
    full.countReason = "Counts limited";
    full.reason = "Tail shortened";
    full.unexplainedHoles = 0;
    full.duplicates = 1, full.outOfOrder = 2, full.rejected = 3, full.receiverOverruns = 4;
    expectRoundTrip(full);
}

}  // namespace
}  // namespace sorvanta
