#include "protocol/speed_snapshot.h"

#include <gtest/gtest.h>

namespace sorvanta {
namespace {

DirectionMeasurement direction(const Uuid& sender, std::uint64_t bytes, double seconds,
                               bool complete = true) {
    DirectionMeasurement d;
    d.sender = sender;
    d.label = "Outbound";
    d.sample = SpeedSample{bytes, seconds, std::nullopt, true, {}, std::nullopt};
    d.complete = complete;
    return d;
}

TEST(SpeedSnapshotTest, IdleValues) {
    SpeedSnapshot s;
    EXPECT_EQ(s.quality, QualityEvidence{});
    EXPECT_FALSE(s.quality.session || s.quality.reason || s.quality.complete);
    EXPECT_TRUE(s.quality.ethernet.empty() && s.quality.udp.empty());
    const auto& p = s.preparation;
    EXPECT_FALSE(p.required || p.localVerified || p.peerVerified || p.peerReady || p.complete ||
                 p.bulkStarted || p.issue || p.remoteIssue);
    EXPECT_EQ(p.peerName, "the other Mac");
    EXPECT_TRUE(p.trace.empty());
    EXPECT_EQ(s.phase, SpeedSnapshot::Phase::idle);
    EXPECT_FALSE(s.armed || s.busy || s.run || s.initiator || s.sample || s.end ||
                 s.endedRemotely || s.qualityLeg);
    EXPECT_EQ(s.profile, QuickProfile::quick);
    EXPECT_EQ(s.stage, 0);
    EXPECT_TRUE(s.stages.empty() && s.directions.empty());
    EXPECT_EQ(s.status, "About 50 seconds plus setup. Three TCP stages and a short quality check.");
    EXPECT_EQ(json::enumName(SpeedSnapshot::Phase::failed), "failed");
    EXPECT_EQ(json::enumFromName<SpeedSnapshot::Phase>("quality"), SpeedSnapshot::Phase::quality);
}

TEST(StageMeasurementTest, DuplexRateNeedsTwoCompleteUsableDirections) {
    auto a = Uuid::random();
    auto b = Uuid::random();
    StageMeasurement duplex{2, QuickStage::duplex, {direction(a, 100, 2), direction(b, 50, 2)}};
    EXPECT_EQ(duplex.duplexBitsPerSecond(), 600.0);

    StageMeasurement forward{0, QuickStage::forward, {direction(a, 100, 2), direction(b, 50, 2)}};
    EXPECT_FALSE(forward.duplexBitsPerSecond());
    auto incomplete = duplex;
    incomplete.directions[1].complete = false;
    EXPECT_FALSE(incomplete.duplexBitsPerSecond());
    auto noSample = duplex;
    noSample.directions[0].sample.reset();
    EXPECT_FALSE(noSample.duplexBitsPerSecond());
    auto zeroSeconds = duplex;
    zeroSeconds.directions[0].sample->seconds = 0;
    EXPECT_FALSE(zeroSeconds.duplexBitsPerSecond());
    auto three = duplex;
    three.directions.push_back(direction(a, 1, 1));
    EXPECT_FALSE(three.duplexBitsPerSecond());
}

TEST(StageMeasurementTest, SenderCapacityIsTheSmallerOfItsTwoRates) {
    auto a = Uuid::random();
    auto b = Uuid::random();
    // 940 and 910 bits per second over 20 s.
    std::vector<StageMeasurement> stages{
        {0, QuickStage::forward, {direction(a, 2350, 20)}},
        {1, QuickStage::reverse, {direction(b, 1000, 10)}},
        {2, QuickStage::duplex, {direction(a, 2275, 20), direction(b, 500, 10)}},
    };
    EXPECT_EQ(StageMeasurement::senderCapacity(a, stages), 910.0);
    EXPECT_EQ(StageMeasurement::senderCapacity(b, stages), 400.0);
    EXPECT_FALSE(StageMeasurement::senderCapacity(Uuid::random(), stages));

    auto twice = stages;
    twice.push_back({0, QuickStage::forward, {direction(a, 2350, 20)}});
    EXPECT_FALSE(StageMeasurement::senderCapacity(a, twice));
    auto noDuplex = stages;
    noDuplex.pop_back();
    EXPECT_FALSE(StageMeasurement::senderCapacity(a, noDuplex));
    auto incomplete = stages;
    incomplete[2].directions[0].complete = false;
    EXPECT_FALSE(StageMeasurement::senderCapacity(a, incomplete));
    auto zero = stages;
    zero[0].directions[0].sample->bytes = 0;
    EXPECT_FALSE(StageMeasurement::senderCapacity(a, zero));
    auto noSample = stages;
    noSample[2].directions[0].sample.reset();
    EXPECT_FALSE(StageMeasurement::senderCapacity(a, noSample));
}

}  // namespace
}  // namespace sorvanta
