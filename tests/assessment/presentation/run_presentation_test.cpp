#include "assessment/presentation/run_presentation.h"

#include <gtest/gtest.h>

#include <functional>

#include "assessment/presentation/result_visibility.h"
#include "assessment/run_fixture.h"

namespace sorvanta {
namespace {

using namespace fixture;
using Phase = SpeedSnapshot::Phase;
using Side = RunPresentation::SenderSide;
using Receiver = RunPresentation::Receiver;

const DisplayFormat en("en_US", "UTC");
const Uuid macC = numbered(0xCC, 3);

DirectionMeasurement live(const Uuid& sender, double seconds, std::optional<double> rolling,
                          bool measuring = true) {
    DirectionMeasurement d;
    d.sender = sender;
    d.label = "live";
    d.sample = SpeedSample{1'250'000'000, seconds, rolling, measuring, {}, {}};
    return d;
}

// The current run busy measuring stage `stage`, with the earlier stages recorded.
ServiceSnapshot measuring(std::int64_t stage, std::vector<DirectionMeasurement> directions) {
    ServiceSnapshot s;
    s.speed = completeRun();
    s.speed.busy = true;
    s.speed.phase = Phase::measuring;
    s.speed.stage = stage;
    s.speed.stages.resize(static_cast<std::size_t>(stage));
    s.speed.directions = std::move(directions);
    s.resultContext = ResultContext{run, {}, {}};
    return s;
}

TEST(RunPresentationTest, ReceiversOfTheRunningStage) {
    struct Case {
        const char* name;
        ServiceSnapshot snapshot;
        std::vector<Receiver> expected;
    };
    auto recorded = measuring(0, {});
    recorded.speed.stages.push_back(completeRun().stages[0]);
    auto otherContext = measuring(0, {live(macA, 4, 9.4e8)});
    otherContext.resultContext->run = macB;
    auto tooMany = live(macA, 4, 9.4e8);
    tooMany.sample->intervals.resize(65);
    auto sameSenders = measuring(2, {live(macA, 4, 1e8)});
    sameSenders.speed.stages[1].directions[0].sender = macA;
    const Case cases[] = {
        {"live forward",
         measuring(0, {live(macA, 4, 9.4e8)}),
         {{macA, "live", 9.4e8, 0.4, false, Side::local}}},
        {"recorded forward",
         recorded,
         {{macA, recorded.speed.stages[0].directions[0].label, 940e6, 1, true, Side::local}}},
        {"warming up",
         measuring(0, {live(macA, 1, 9.4e8, false)}),
         {{macA, "live", {}, {}, false, Side::local}}},
        {"negative rolling rate",
         measuring(0, {live(macA, 4, -1)}),
         {{macA, "live", {}, {}, false, Side::local}}},
        {"invalid sample", measuring(0, {tooMany}), {{macA, "live", {}, {}, false, Side::local}}},
        {"another run's context", otherContext, {}},
        {"a repeated sender is dropped",
         measuring(1, {live(macC, 2, 1e8), live(macA, 2, 2e8), live(macC, 2, 3e8)}),
         {{macA, "live", 2e8, 0.2, false, Side::local}}},
        {"ordered by sender text",
         measuring(1, {live(macB, 2, 1e8), live(macA, 2, 2e8)}),
         {{macA, "live", 2e8, 0.2, false, Side::local},
          {macB, "live", 1e8, 0.2, false, Side::remote}}},
        {"duplex with a placeholder",
         measuring(2, {live(macB, 3, 5e8)}),
         {{macA, recorded.speed.stages[0].directions[0].label, {}, {}, false, Side::local},
          {macB, "live", 5e8, 0.3, false, Side::remote}}},
        {"duplex references with one sender",
         sameSenders,
         {{macA, "live", 1e8, 0.4, false, Side::local}}},
    };
    for (const auto& c : cases) {
        const RunPresentation presentation{c.snapshot, macA};
        EXPECT_EQ(presentation.receivers(), c.expected) << c.name;
    }
}

TEST(RunPresentationTest, StepsAndQualityLegs) {
    ServiceSnapshot idle;
    const RunPresentation none{idle, macA};
    EXPECT_EQ(none.progress(), RunPresentation::Progress::none);
    EXPECT_EQ(none.qualitySenderSide(), Side::unavailable);

    auto ended = measuring(0, {});
    ended.speed.busy = false;
    ended.speed.preparation.bulkStarted = false;
    EXPECT_EQ((RunPresentation{ended, macA}.progress()),
              RunPresentation::Progress::endedInPreparation);

    struct Case {
        std::optional<std::int64_t> leg;
        std::vector<std::int64_t> finished;
        bool complete;
        std::optional<QuickStage> stage;
        Side side;
    };
    const Case cases[] = {
        {1, {}, false, QuickStage::reverse, Side::remote},
        {std::nullopt, {0}, false, QuickStage::reverse, Side::remote},
        {std::nullopt, {}, false, QuickStage::forward, Side::local},
        {std::nullopt, {0, 1}, false, QuickStage::duplex, Side::unavailable},
        {0, {}, true, QuickStage::duplex, Side::unavailable},
    };
    for (const auto& c : cases) {
        auto s = measuring(3, {});
        s.speed.stages = completeRun().stages;
        s.speed.phase = Phase::quality;
        s.speed.qualityLeg = c.leg;
        s.speed.quality.complete = c.complete;
        s.speed.quality.udp.clear();
        for (auto leg : c.finished) {
            s.speed.quality.udp.push_back(fixture::leg(leg, macA, 1e9));
        }
        const RunPresentation p{s, macA};
        EXPECT_EQ(p.qualityStage(), c.stage);
        EXPECT_EQ(p.qualitySenderSide(), c.side);
        EXPECT_EQ((RunPresentation{s, std::nullopt}.qualitySenderSide()), Side::unavailable);
    }
    EXPECT_EQ(RunPresentation::mbpsText(940.1e6, false, en), "940");
    EXPECT_EQ(RunPresentation::mbpsText(1.234e9, true, en), "1.23");
    EXPECT_EQ(RunPresentation::mbpsText(1e9, true, en), "1");
}

TEST(RunPresentationTest, VisibilityNotesEachNewRunBeforeTheHistory) {
    ResultVisibility visibility;
    const auto now = std::chrono::system_clock::time_point{};
    ServiceSnapshot s;
    visibility.observe(s, now);
    EXPECT_FALSE(visibility.run || visibility.mayRevealCurrent);
    s.speed = completeRun();
    const auto shown = visibility.observe(s, now);
    EXPECT_EQ(visibility.run, run);
    EXPECT_TRUE(visibility.mayRevealCurrent);
    ASSERT_TRUE(shown.resultContext);
    EXPECT_EQ(shown.resultContext->run, run);
    s.speed = {};
    visibility.observe(s, now);
    EXPECT_FALSE(visibility.run);
    EXPECT_TRUE(visibility.mayRevealCurrent);
}

}  // namespace
}  // namespace sorvanta
