#include "protocol/speed_snapshot.h"

#include <gtest/gtest.h>

namespace sorvanta {
namespace {

DirectionMeasurement direction(const Uuid& sender, std::uint64_t bytes, double seconds,
                               bool complete = true) {
    return {
        sender,   "Outbound",   SpeedSample{bytes, seconds, std::nullopt, true, {}, std::nullopt},
        complete, std::nullopt, ""};
}

TEST(SpeedSnapshotTest, IdleValues) {
    const SpeedSnapshot s;
    EXPECT_EQ(s.quality, QualityEvidence{});
    const auto& p = s.preparation;
    EXPECT_FALSE(p.required || p.localVerified || p.peerVerified || p.peerReady || p.complete ||
                 p.bulkStarted || p.issue || p.remoteIssue || !p.trace.empty());
    EXPECT_EQ(p.peerName, "the other Mac");
    EXPECT_EQ(s.phase, SpeedSnapshot::Phase::idle);
    EXPECT_FALSE(s.armed || s.busy || s.run || s.initiator || s.sample || s.end ||
                 s.endedRemotely || s.qualityLeg || s.stage != 0);
    EXPECT_EQ(s.profile, QuickProfile::quick);
    EXPECT_TRUE(s.stages.empty() && s.directions.empty());
    EXPECT_EQ(s.status, "About 50 seconds plus setup. Three TCP stages and a short quality check.");
}

TEST(StageMeasurementTest, DuplexRateNeedsTwoCompleteUsableDirections) {
    const auto a = Uuid::random();
    const auto b = Uuid::random();
    const StageMeasurement duplex{
        2, QuickStage::duplex, {direction(a, 100, 2), direction(b, 50, 2)}};
    EXPECT_EQ(duplex.duplexBitsPerSecond(), 600.0);
    auto forward = duplex;
    forward.mode = QuickStage::forward;
    EXPECT_FALSE(forward.duplexBitsPerSecond());
    for (auto spoil : std::vector<void (*)(StageMeasurement&)>{
             [](StageMeasurement& m) { m.directions[1].complete = false; },
             [](StageMeasurement& m) { m.directions[0].sample.reset(); },
             [](StageMeasurement& m) { m.directions[0].sample->seconds = 0; },
             [](StageMeasurement& m) { m.directions.push_back(m.directions[0]); }}) {
        auto spoiled = duplex;
        spoil(spoiled);
        EXPECT_FALSE(spoiled.duplexBitsPerSecond());
    }
}

TEST(StageMeasurementTest, SenderCapacityIsTheSmallerOfItsTwoRates) {
    const auto a = Uuid::random();
    const auto b = Uuid::random();
    // 940 and 910 bits per second over 20 s.
    const std::vector<StageMeasurement> stages{
        {0, QuickStage::forward, {direction(a, 2350, 20)}},
        {1, QuickStage::reverse, {direction(b, 1000, 10)}},
        {2, QuickStage::duplex, {direction(a, 2275, 20), direction(b, 500, 10)}},
    };
    EXPECT_EQ(StageMeasurement::senderCapacity(a, stages), 910.0);
    EXPECT_EQ(StageMeasurement::senderCapacity(b, stages), 400.0);
    EXPECT_FALSE(StageMeasurement::senderCapacity(Uuid::random(), stages));
    using Stages = std::vector<StageMeasurement>;
    for (auto spoil : std::vector<void (*)(Stages&)>{
             [](Stages& s) { s.push_back(s[0]); },  // two single-direction measurements
             [](Stages& s) { s.pop_back(); },       // no duplex one
             [](Stages& s) { s[2].directions[0].complete = false; },
             [](Stages& s) { s[0].directions[0].sample->bytes = 0; },
             [](Stages& s) { s[2].directions[0].sample.reset(); }}) {
        auto spoiled = stages;
        spoil(spoiled);
        EXPECT_FALSE(StageMeasurement::senderCapacity(a, spoiled));
    }
}

}  // namespace
}  // namespace sorvanta
