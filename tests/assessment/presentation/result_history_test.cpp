#include "assessment/presentation/result_history.h"

#include <gtest/gtest.h>

#include "assessment/run_fixture.h"

namespace sorvanta {
namespace {

using namespace fixture;
using Phase = SpeedSnapshot::Phase;
using Clock = std::chrono::system_clock;

// One published snapshot and what the history must hand back for it.
struct Step {
    const char* name;
    std::optional<Uuid> run;
    Phase phase;
    bool busy;
    bool preparing;  // required, no bulk traffic yet
    const char* peer;
    int minute;  // the time of the update
    // Expected: the returned context's run and stamp minute (-1: none) and the run of the
    // returned previous result and its stamp minute.
    std::optional<Uuid> contextRun;
    int stamped;
    std::optional<Uuid> previousRun;
    int previousStamped;
};

TEST(ResultHistoryTest, FollowsTheShownRunAndKeepsTheLastCompletedOne) {
    const Uuid second = macB;
    const Uuid third = macA;
    const Step steps[] = {
        {"idle first", std::nullopt, Phase::idle, false, false, "Mini", 0, std::nullopt, -1,
         std::nullopt, -1},
        {"run prepares", run, Phase::preparing, true, true, "Mini", 1, run, -1, std::nullopt, -1},
        {"peer renamed", run, Phase::measuring, true, false, "Renamed", 2, run, -1, std::nullopt,
         -1},
        {"complete, still busy", run, Phase::complete, true, false, "Mini", 3, run, -1,
         std::nullopt, -1},
        {"complete, stamped", run, Phase::complete, false, false, "Mini", 4, run, 4, std::nullopt,
         -1},
        {"stamp kept", run, Phase::complete, false, false, "Mini", 5, run, 4, std::nullopt, -1},
        {"idle shows the completed run", std::nullopt, Phase::idle, false, false, "Mini", 6,
         std::nullopt, -1, run, 4},
        {"next run prepares", second, Phase::preparing, true, true, "Mini", 7, second, -1, run, 4},
        {"next run moves traffic", second, Phase::measuring, true, false, "Mini", 8, second, -1,
         std::nullopt, -1},
        {"next run fails", second, Phase::failed, false, false, "Mini", 9, second, 9, std::nullopt,
         -1},
        {"idle still shows the completed run", std::nullopt, Phase::idle, false, false, "Mini", 10,
         std::nullopt, -1, run, 4},
        {"third run prepares", third, Phase::preparing, true, true, "Mini", 11, third, -1, run, 4},
    };
    const auto at = [](int minute) { return Clock::time_point{} + std::chrono::minutes(minute); };
    ResultHistory history;
    for (const auto& step : steps) {
        ServiceSnapshot snapshot;
        snapshot.activePeerName = step.peer;
        snapshot.speed.run = step.run;
        snapshot.speed.phase = step.phase;
        snapshot.speed.busy = step.busy;
        snapshot.speed.preparation.required = step.preparing;
        const auto shown = history.update(snapshot, at(step.minute));

        EXPECT_EQ(shown.resultContext.has_value(), step.contextRun.has_value()) << step.name;
        if (shown.resultContext && step.contextRun) {
            EXPECT_EQ(shown.resultContext->run, *step.contextRun) << step.name;
            EXPECT_EQ(shown.resultContext->peer, "Mini") << step.name;
            EXPECT_EQ(shown.resultContext->observedAt,
                      step.stamped < 0 ? std::nullopt : std::optional(at(step.stamped)))
                << step.name;
        }
        EXPECT_EQ(shown.previousResult.has_value(), step.previousRun.has_value()) << step.name;
        if (shown.previousResult && step.previousRun) {
            EXPECT_EQ(shown.previousResult->context.run, *step.previousRun) << step.name;
            EXPECT_EQ(shown.previousResult->speed.phase, Phase::complete) << step.name;
            EXPECT_EQ(shown.previousResult->context.observedAt, at(step.previousStamped))
                << step.name;
        }
    }
}

}  // namespace
}  // namespace sorvanta
