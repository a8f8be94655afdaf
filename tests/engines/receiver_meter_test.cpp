#include "engines/receiver_meter.h"

#include <gtest/gtest.h>

#include <limits>

#include "protocol/protocol_failure.h"

namespace sorvanta {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

struct Step {
    enum Op { record, sample, barrier } op;
    double time;
    std::int64_t bytes = 0;
};

// Runs the steps; returns the failure of the last one, if it threw (earlier ones must not).
std::optional<ProtocolFailure> run(ReceiverMeter& meter, const std::vector<Step>& steps) {
    for (std::size_t i = 0; i < steps.size(); ++i) {
        try {
            const auto& s = steps[i];
            s.op == Step::record   ? meter.record(s.bytes, s.time)
            : s.op == Step::sample ? (void)meter.sample(s.time)
                                   : meter.beginMeasurement(s.time);
        } catch (const ProtocolFailure& failure) {
            EXPECT_EQ(i + 1, steps.size()) << "step " << i << " threw " << failure.name();
            return failure;
        }
    }
    return std::nullopt;
}

TEST(ReceiverMeterTest, RefusesOutOfOrderInputAndStaysUsable) {
    using S = Step;
    const auto maxBytes = std::numeric_limits<std::int64_t>::max();
    struct Row {
        const char* name;
        bool barrier;
        std::vector<Step> steps;
        std::optional<ProtocolFailure> failure;
    } rows[] = {
        {"negative count", false, {{S::record, 1, -1}}, ProtocolFailure::malformed},
        {"time backwards",
         false,
         {{S::record, 2, 1}, {S::record, 1.5, 1}},
         ProtocolFailure::malformed},
        {"record NaN", false, {{S::record, nan, 1}}, ProtocolFailure::malformed},
        {"sample infinite", false, {{S::sample, inf}}, ProtocolFailure::malformed},
        {"sample backwards",
         false,
         {{S::record, 3, 1}, {S::sample, 2}},
         ProtocolFailure::malformed},
        {"total overflow",
         false,
         {{S::record, 1, maxBytes}, {S::record, 1, maxBytes}, {S::record, 1, 2}},
         ProtocolFailure::invalidLength},
        {"record after result",
         false,
         {{S::record, 0, 1}, {S::sample, 2}, {S::sample, 12}, {S::record, 13, 1}},
         ProtocolFailure::malformed},
        {"barrier on self-starting meter",
         false,
         {{S::record, 0, 1}, {S::barrier, 5}},
         ProtocolFailure::unexpectedMessage},
        {"barrier before warm-up",
         true,
         {{S::record, 1, 1}, {S::barrier, 2.9}},
         ProtocolFailure::unexpectedMessage},
        {"barrier at warm-up", true, {{S::record, 1, 1}, {S::barrier, 3.0}}, std::nullopt},
        {"second barrier",
         true,
         {{S::record, 1, 1}, {S::barrier, 3}, {S::barrier, 4}},
         ProtocolFailure::unexpectedMessage},
        {"barrier without payload",
         true,
         {{S::record, 1, 0}, {S::barrier, 4}},
         ProtocolFailure::unexpectedMessage},
        {"barrier backwards",
         true,
         {{S::record, 1, 1}, {S::sample, 5}, {S::barrier, 4}},
         ProtocolFailure::unexpectedMessage},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ReceiverMeter meter(row.barrier);
        EXPECT_EQ(run(meter, row.steps), row.failure);
        // Still usable: a later sample works.
        EXPECT_NO_THROW(meter.sample(100));
    }
}

TEST(ReceiverMeterTest, WarmupHidesBytesAndZeroRecordsDoNotStartIt) {
    ReceiverMeter meter(true);
    meter.record(0, 0.5);
    EXPECT_EQ(meter.sample(0.5), SpeedSample{});
    meter.record(1000, 1.0);
    const auto warming = meter.sample(2.5);
    EXPECT_EQ(warming, (SpeedSample{0, 1.5, std::nullopt, false, {}, std::nullopt}));
    // Without the barrier a controlled meter never starts by itself.
    EXPECT_FALSE(meter.sample(20).measuring);
}

// A steady 1,000 bytes per 0.25 s tick from t = 0; the measured interval starts at 2.0
// (by the barrier, or by itself at the first sample 2.0 s after the first payload).
TEST(ReceiverMeterTest, MeasuresTenSecondsOnTheTickWithRollingRateAndSeries) {
    for (bool barrier : {true, false}) {
        SCOPED_TRACE(barrier ? "barrier" : "self-starting");
        ReceiverMeter meter(barrier);
        meter.record(1000, 0);
        std::vector<SpeedSample> samples;
        for (int tick = 1; tick <= 60; ++tick) {
            const double t = tick * 0.25;
            if (!meter.result()) {
                meter.record(1000, t);
            }
            if (barrier && t == 2.0) {
                meter.beginMeasurement(t);
            }
            samples.push_back(meter.sample(t));
            EXPECT_LE(meter.history().size(), 5u);
        }
        // Samples at elapsed 0.25 and 0.5 have no rolling rate; then over 0.75, 1.0, 1.25 s,
        // always 4,000 bytes per second.
        const int first = 8;  // t = 2.25
        EXPECT_FALSE(samples[first].rollingBps);
        EXPECT_FALSE(samples[first + 1].rollingBps);
        for (int i = first + 2; i < first + 8; ++i) {
            ASSERT_TRUE(samples[i].rollingBps) << i;
            EXPECT_DOUBLE_EQ(*samples[i].rollingBps, 32'000);
        }
        EXPECT_TRUE(samples[first].intervals.empty());
        const auto& last = samples[first + 39];  // elapsed 10.0
        EXPECT_TRUE(last.measuring);
        EXPECT_DOUBLE_EQ(last.seconds, 10.0);
        EXPECT_EQ(last.bytes, 40'000u);
        ASSERT_EQ(last.intervals.size(), 10u);
        EXPECT_EQ(last.intervals[0], (ThroughputInterval{0.0, 1.0, 4000}));
        EXPECT_EQ(last.intervals[9], (ThroughputInterval{9.0, 10.0, 4000}));
        EXPECT_EQ(meter.result(), last);
        EXPECT_EQ(samples.back(), last);  // later samples return the result unchanged
    }
}

TEST(ReceiverMeterTest, IntervalsNeedALaterSampleAndStopAtTheLimit) {
    ReceiverMeter meter(false, 0.0, 100.0);
    meter.record(10, 0);
    meter.sample(0);  // starts at 0
    meter.sample(0);  // same time as the open interval's start: nothing closes
    EXPECT_TRUE(meter.series().empty());
    for (int t = 1; t <= 70; ++t) {
        meter.record(10, t);
        meter.sample(t);
    }
    EXPECT_EQ(meter.series().size(), ReceiverMeter::maximumSeries);
    // The open interval is closed early when the duration is reached.
    meter.record(10, 100);
    const auto result = meter.sample(100);
    EXPECT_EQ(result.intervals.size(), ReceiverMeter::maximumSeries);
    EXPECT_EQ(result.seriesReason, std::string(ReceiverMeter::seriesLimitReason));
}

}  // namespace
}  // namespace sorvanta
