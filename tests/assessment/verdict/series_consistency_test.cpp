#include "assessment/verdict/series_consistency.h"

#include <gtest/gtest.h>

#include <limits>

namespace sorvanta {
namespace {

// A series of one interval per rate (Mbit/s), each `length` seconds long unless given as
// {rate, length}, covering its window exactly.
struct Piece {
    double mbps;
    double length = 1.0;
    Piece(double rate, double seconds = 1.0) : mbps(rate), length(seconds) {}
};

SpeedSample series(std::vector<Piece> pieces, double length = 1.0) {
    SpeedSample s;
    for (const auto& piece : pieces) {
        const double span = piece.length == 1.0 ? length : piece.length;
        const auto bytes = static_cast<std::uint64_t>(piece.mbps * 1e6 / 8 * span);
        s.intervals.push_back({s.seconds, s.seconds + span, bytes});
        s.bytes += bytes;
        s.seconds += span;
    }
    return s;
}

TEST(SeriesConsistencyTest, SummarizesOrRefusesEachSeries) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<Piece> steady(10, 940);
    struct Case {
        const char* name;
        SpeedSample sample;
        ConsistencySummary expected;
    };
    auto with = [](SpeedSample s, auto change) {
        change(s);
        return s;
    };
    const ConsistencySummary empty{};
    auto refused = [&](const char* reason) {
        ConsistencySummary r = empty;
        r.reason = reason;
        return r;
    };
    const Case cases[] = {
        {"zero seconds", with(series(steady), [](auto& s) { s.seconds = 0; }),
         refused("Invalid series duration/count.")},
        {"NaN seconds, reason ignored",
         with(series(steady),
              [&](auto& s) {
                  s.seconds = nan;
                  s.seriesReason = "late";
              }),
         refused("Invalid series duration/count.")},
        {"65 intervals", series(std::vector<Piece>(65, 900)),
         refused("Invalid series duration/count.")},
        {"first starts late", with(series(steady), [](auto& s) { s.intervals[0].start = 0.001; }),
         refused("Series offsets are inconsistent.")},
        {"gap", with(series(steady), [](auto& s) { s.intervals[4].end = 4.9; }),
         refused("Series offsets are inconsistent.")},
        {"byte overflow",
         with(series({1, 1}),
              [](auto& s) { s.intervals[0].bytes = std::numeric_limits<std::uint64_t>::max(); }),
         refused("Series counter overflow.")},
        {"one byte short", with(series(steady), [](auto& s) { s.bytes += 1; }),
         refused("Series does not cover its receiver counter/window.")},
        {"empty series", with(SpeedSample{}, [](auto& s) { s.seconds = 10; }),
         refused("Series does not cover its receiver counter/window.")},
        {"two five-second intervals", series({940, 940}, 5),
         refused("No complete one-second intervals.")},
        {"two dips",
         series({940, 940, 700, 700, 940, 940, 940, 940, 940, 940}),
         {940e6, 700e6, 1.0, 10, 2, 0, std::nullopt}},
        {"two slow seconds apart are not consecutive",
         series({940, 700, 940, 700, 940, 940, 940, 940, 940, 940}),
         {940e6, 700e6, 1.0, 10, 1, 0, std::nullopt}},
        {"stall",
         series({940, 940, 90, 940, 940, 940, 940, 940, 940, 940}),
         {940e6, 90e6, 1.0, 10, 1, 1, std::nullopt}},
        {"invalid interval breaks a dip run",
         series({700, {700, 0.5}, 700, 940, 940, 940, 940, 940, 940, 940}),
         {940e6, 700e6, 9 / 9.5, 9, 1, 0, std::nullopt}},
        {"seven valid of eight",
         with(series(std::vector<Piece>(7, 940), 1.25),
              [](auto& s) {
                  s.intervals.push_back({8.75, 10.01, 100});
                  s.bytes += 100;
                  s.seconds = 10.01;
              }),
         {940e6, 940e6, 8.75 / 10.01, 7, 0, 0,
          "Less than eight valid intervals or 80% window coverage."}},
        {"series reason kept",
         with(series(steady), [](auto& s) { s.seriesReason = "late"; }),
         {940e6, 940e6, 1.0, 10, 0, 0, "late"}},
    };
    for (const auto& c : cases) {
        const auto summary = summarizeSeries(c.sample);
        EXPECT_EQ(summary.reason, c.expected.reason) << c.name;
        EXPECT_EQ(summary.validIntervals, c.expected.validIntervals) << c.name;
        EXPECT_EQ(summary.consecutiveDips, c.expected.consecutiveDips) << c.name;
        EXPECT_EQ(summary.stalls, c.expected.stalls) << c.name;
        EXPECT_NEAR(summary.coverage, c.expected.coverage, 1e-9) << c.name;
        EXPECT_EQ(summary.median.has_value(), c.expected.median.has_value()) << c.name;
        if (summary.median && c.expected.median) {
            EXPECT_NEAR(*summary.median, *c.expected.median, 1) << c.name;
            EXPECT_NEAR(*summary.lowest, *c.expected.lowest, 1) << c.name;
        }
    }
}

}  // namespace
}  // namespace sorvanta
