#include "protocol/speed_sample.h"

#include <gtest/gtest.h>

#include "protocol/quick_profile.h"
#include "record_checks.h"

namespace sorvanta {
namespace {

using namespace testing_support;
using S = SpeedSample;

S finalSample() {
    return S{1'250'000'000, 10, std::nullopt, true, {}, std::nullopt};
}

// Checked as a final result (measuring, at least 10 s) and as progress.
void asResult(const S& s) {
    s.validate(true, 10);
}
void asProgress(const S& s) {
    s.validate(false, 10);
}

TEST(SpeedSampleTest, ValidationBounds) {
    expectValidity<S>(finalSample(),
                      {[](S& s) {
                           s.intervals.assign(64, ThroughputInterval{0, 1, 10});
                       },
                       [](S& s) { s.seriesReason = std::string(256, 'r'); },
                       [](S& s) { s.seconds = 30, s.rollingBps = 0; },
                       // the largest byte count still gives a finite rate: no overflow on × 8
                       [](S& s) { s.bytes = std::numeric_limits<std::uint64_t>::max(); }},
                      true, asResult);
    expectValidity<S>(
        finalSample(),
        {[](S& s) { s.intervals.resize(65); },
         [](S& s) { s.seriesReason = std::string(255, 'r') + "\xC3\xA9"; },  // 257 bytes
         [](S& s) { s.seriesReason = "gap\nhere"; }, [](S& s) { s.seconds = 30.000001; },
         [](S& s) { s.seconds = -0.5; }, [](S& s) { s.seconds = nan; },
         [](S& s) { s.seconds = infinity; }, [](S& s) { s.rollingBps = -1; },
         [](S& s) { s.rollingBps = nan; }},
        false, asProgress);
    // Progress may be short or still warming up; a result may not.
    expectValidity<S>(finalSample(),
                      {[](S& s) { s.seconds = 9.99; }, [](S& s) { s.measuring = false; },
                       [](S& s) { s.seconds = -0.0; }},
                      true, asProgress);
    expectValidity<S>(finalSample(),
                      {[](S& s) { s.seconds = 9.99; }, [](S& s) { s.measuring = false; },
                       [](S& s) { s.seconds = -0.0; }},
                      false, asResult);
    auto zero = finalSample();
    zero.seconds = -0.0;
    EXPECT_FALSE(passesCheck([&] { zero.validate(true, 0); }));
}

TEST(SpeedSampleTest, RatesAreAbsentForUnusableSpans) {
    S s{100, 2, std::nullopt, true, {}, std::nullopt};
    EXPECT_EQ(s.bitsPerSecond(), 400.0);
    for (double seconds : {0.0, -1.0, infinity, nan}) {
        s.seconds = seconds;
        EXPECT_FALSE(s.bitsPerSecond()) << seconds;
    }
    s.seconds = 1e-320;  // denormal: the quotient overflows to infinity
    s.bytes = std::numeric_limits<std::uint64_t>::max();
    EXPECT_FALSE(s.bitsPerSecond());
    s.seconds = 10;
    EXPECT_DOUBLE_EQ(s.bitsPerSecond().value_or(0), 18446744073709551615.0 * 8 / 10);

    EXPECT_EQ((ThroughputInterval{1, 2, 125}.bitsPerSecond()), 1000.0);
    EXPECT_FALSE((ThroughputInterval{2, 2, 125}.bitsPerSecond()));
    EXPECT_FALSE((ThroughputInterval{3, 2, 125}.bitsPerSecond()));
    EXPECT_FALSE((ThroughputInterval{-infinity, 2, 125}.bitsPerSecond()));
}

TEST(SpeedSampleTest, KeysAndAbsentOptionals) {
    auto s = finalSample();
    s.intervals = {{0.5, 1.5, 125'000'000}};
    EXPECT_EQ(encodeRecord(s),
              R"({"bytes":1250000000,"intervals":[{"bytes":125000000,"end":1.5,"start":0.5}],)"
              R"("measuring":true,"seconds":10.0})");
    s.rollingBps = 9.4e8;
    s.seriesReason = "Receiver series incomplete.";
    expectRoundTrip(s);
}

TEST(RunVocabularyTest, ProfilesStagesAndSenders) {
    using P = QuickProfile;
    using Q = QuickStage;
    const std::vector<std::pair<P, std::vector<Q>>> profiles{
        {P::quick, {Q::forward, Q::reverse, Q::duplex}},
        {P::forward, {Q::forward}},
        {P::reverse, {Q::reverse}},
        {P::duplex, {Q::duplex}}};
    for (const auto& [profile, stages] : profiles) {
        const auto listed = profileStages(profile);
        EXPECT_EQ(std::vector<Q>(listed.begin(), listed.end()), stages);
        EXPECT_TRUE(isValidStage(profile, static_cast<std::int64_t>(stages.size()) - 1));
        EXPECT_FALSE(isValidStage(profile, static_cast<std::int64_t>(stages.size())));
        EXPECT_FALSE(isValidStage(profile, -1));
    }
    EXPECT_FALSE(isValidStage(P::quick, std::numeric_limits<std::int64_t>::min()));

    const auto a = Uuid::random();
    const auto b = Uuid::random();
    EXPECT_EQ(stageSenders(Q::forward, a, b), std::vector<Uuid>{a});
    EXPECT_EQ(stageSenders(Q::reverse, a, b), std::vector<Uuid>{b});
    EXPECT_EQ(stageSenders(Q::duplex, a, b), (std::vector<Uuid>{a, b}));
}

}  // namespace
}  // namespace sorvanta
