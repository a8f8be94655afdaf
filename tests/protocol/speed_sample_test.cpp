#include "protocol/speed_sample.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "protocol/protocol_failure.h"
#include "protocol/quick_profile.h"

namespace sorvanta {
namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

SpeedSample finalSample() {
    SpeedSample s;
    s.bytes = 1'250'000'000;
    s.seconds = 10;
    s.measuring = true;
    return s;
}

bool passes(const SpeedSample& s, bool requireMeasuring, double minimumSeconds = 10) {
    try {
        s.validate(requireMeasuring, minimumSeconds);
        return true;
    } catch (const ProtocolFailure& f) {
        EXPECT_EQ(f, ProtocolFailure::malformed);
        return false;
    }
}

TEST(SpeedSampleTest, BoundsIntervalsAndSeriesReason) {
    auto s = finalSample();
    s.intervals.assign(64, ThroughputInterval{0, 1, 10});
    EXPECT_TRUE(passes(s, true));
    s.intervals.push_back({});
    EXPECT_FALSE(passes(s, false));

    s = finalSample();
    s.seriesReason = std::string(256, 'r');
    EXPECT_TRUE(passes(s, true));
    s.seriesReason = std::string(255, 'r') + "\xC3\xA9";  // 257 bytes, 256 characters
    EXPECT_FALSE(passes(s, false));
    s.seriesReason = "gap\nhere";
    EXPECT_FALSE(passes(s, false));
    s.seriesReason = "";
    EXPECT_TRUE(passes(s, true));
}

TEST(SpeedSampleTest, BoundsSecondsAndRollingRate) {
    auto s = finalSample();
    s.seconds = 30;
    EXPECT_TRUE(passes(s, true));
    s.seconds = 30.000001;
    EXPECT_FALSE(passes(s, false));
    s.seconds = -0.0;
    EXPECT_TRUE(passes(s, false));
    EXPECT_FALSE(passes(s, true, 0));
    for (double bad : {-0.5, infinity, std::nan("")}) {
        s.seconds = bad;
        EXPECT_FALSE(passes(s, false)) << bad;
    }
    s = finalSample();
    s.rollingBps = 0;
    EXPECT_TRUE(passes(s, true));
    for (double bad : {-1.0, infinity, std::nan("")}) {
        s.rollingBps = bad;
        EXPECT_FALSE(passes(s, false)) << bad;
    }
}

TEST(SpeedSampleTest, FinalSampleMustBeMeasuringAndLongEnough) {
    auto s = finalSample();
    EXPECT_TRUE(passes(s, true));
    s.seconds = 9.99;
    EXPECT_FALSE(passes(s, true));
    EXPECT_TRUE(passes(s, false));
    s.seconds = 10;
    s.measuring = false;
    EXPECT_FALSE(passes(s, true));
    EXPECT_TRUE(passes(s, false));
    // The largest byte count still gives a finite rate: no integer overflow on × 8.
    s = finalSample();
    s.bytes = std::numeric_limits<std::uint64_t>::max();
    EXPECT_TRUE(passes(s, true));
    ASSERT_TRUE(s.bitsPerSecond());
    EXPECT_DOUBLE_EQ(*s.bitsPerSecond(), 18446744073709551615.0 * 8 / 10);
}

TEST(SpeedSampleTest, RatesAreAbsentForUnusableSpans) {
    SpeedSample s{100, 2, std::nullopt, true, {}, std::nullopt};
    EXPECT_EQ(s.bitsPerSecond(), 400.0);
    s.seconds = 0;
    EXPECT_FALSE(s.bitsPerSecond());
    s.seconds = infinity;
    EXPECT_FALSE(s.bitsPerSecond());
    s.seconds = -1;
    EXPECT_FALSE(s.bitsPerSecond());
    s.seconds = 1e-320;  // denormal: quotient overflows to infinity
    s.bytes = std::numeric_limits<std::uint64_t>::max();
    EXPECT_FALSE(s.bitsPerSecond());

    EXPECT_EQ((ThroughputInterval{1, 2, 125}.bitsPerSecond()), 1000.0);
    EXPECT_FALSE((ThroughputInterval{2, 2, 125}.bitsPerSecond()));
    EXPECT_FALSE((ThroughputInterval{3, 2, 125}.bitsPerSecond()));
    EXPECT_FALSE((ThroughputInterval{-infinity, 2, 125}.bitsPerSecond()));
}

TEST(SpeedSampleTest, JsonLeavesAbsentOptionalsOutAndRoundTrips) {
    auto s = finalSample();
    s.intervals = {{0.5, 1.5, 125000000}};
    EXPECT_EQ(json::encode(s),
              R"({"bytes":1250000000,"intervals":[{"bytes":125000000,"end":1.5,"start":0.5}],)"
              R"("measuring":true,"seconds":10.0})");
    s.rollingBps = 9.4e8;
    s.seriesReason = "Receiver series incomplete.";
    EXPECT_EQ(json::decode<SpeedSample>(json::encode(s)), s);
    EXPECT_THROW(json::decode<SpeedSample>(R"({"bytes":1,"seconds":1,"measuring":true})"),
                 json::DecodeError);
    EXPECT_THROW(
        json::decode<SpeedSample>(R"({"bytes":-1,"seconds":1,"measuring":true,"intervals":[]})"),
        json::DecodeError);
    EXPECT_EQ(json::decode<SpeedSample>(
                  R"({"bytes":1,"seconds":1,"measuring":true,"intervals":[],"rollingBps":null})")
                  .rollingBps,
              std::nullopt);
}

TEST(RunVocabularyTest, ProfilesStagesAndSenders) {
    EXPECT_EQ(profileStages(QuickProfile::quick).size(), 3u);
    EXPECT_EQ(profileStages(QuickProfile::quick)[2], QuickStage::duplex);
    EXPECT_EQ(profileStages(QuickProfile::reverse)[0], QuickStage::reverse);
    EXPECT_TRUE(isValidStage(QuickProfile::quick, 2));
    EXPECT_FALSE(isValidStage(QuickProfile::quick, 3));
    EXPECT_FALSE(isValidStage(QuickProfile::forward, 1));
    EXPECT_FALSE(isValidStage(QuickProfile::duplex, -1));
    EXPECT_FALSE(isValidStage(QuickProfile::quick, std::numeric_limits<std::int64_t>::min()));

    auto a = Uuid::random();
    auto b = Uuid::random();
    EXPECT_EQ(stageSenders(QuickStage::forward, a, b), std::vector<Uuid>{a});
    EXPECT_EQ(stageSenders(QuickStage::reverse, a, b), std::vector<Uuid>{b});
    EXPECT_EQ(stageSenders(QuickStage::duplex, a, b), (std::vector<Uuid>{a, b}));
}

}  // namespace
}  // namespace sorvanta
