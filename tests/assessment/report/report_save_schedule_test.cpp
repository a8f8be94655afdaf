#include "assessment/report/report_save_schedule.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "assessment/run_fixture.h"

namespace sorvanta {
namespace {

using fixture::runIn;

using Clock = std::chrono::system_clock;

TEST(ReportSaveSchedule, LaunchArguments) {
    using Args = std::vector<std::string>;
    const std::pair<Args, bool> rows[] = {
        {{"sorvanta"}, false},
        {{"sorvanta", "-SorvantaSaveReports", "YES"}, true},
        {{"sorvanta", "-SorvantaSaveReports", "yes"}, false},
        {{"sorvanta", "-SorvantaSaveReports"}, false},
        {{"sorvanta", "-SorvantaSaveReports", "NO", "-SorvantaSaveReports", "YES"}, false},
        {{"sorvanta", "YES", "-SorvantaSaveReports"}, false},
    };
    for (const auto& [args, enabled] : rows)
        EXPECT_EQ(ReportSaveSchedule::enabledBy(args), enabled);
}

TEST(ReportSaveSchedule, EachEndedRunIsDueOnce) {
    using Phase = SpeedSnapshot::Phase;
    const std::pair<ServiceSnapshot, bool> rows[] = {
        {runIn(Phase::complete), true},      {runIn(Phase::cancelled), true},
        {runIn(Phase::failed), true},        {runIn(Phase::complete, true), false},
        {runIn(Phase::measuring), false},    {runIn(Phase::preparing), false},
        {ServiceSnapshot::initial(), false},
    };
    for (const auto& [snapshot, due] : rows) {
        ReportSaveSchedule schedule(AppBuild{"1.2", "7"});
        const auto report = schedule.due(snapshot);
        ASSERT_EQ(report.has_value(), due);
        EXPECT_FALSE(schedule.due(snapshot));
        if (due) {
            EXPECT_EQ(report->fileName, snapshot.speed.run->text() + ".txt");
            EXPECT_EQ(report->text,
                      ConnectionDetailsReport(snapshot, AppBuild{"1.2", "7"}).copyText());
            EXPECT_EQ(schedule.savedReportRun(), snapshot.speed.run);
        }
    }
}

TEST(ReportSaveSchedule, KeepsTheNewestByModificationTime) {
    const Clock::time_point t0{};
    const auto at = [&](int seconds, int nanoseconds = 0) {
        return t0 + std::chrono::seconds(seconds) + std::chrono::nanoseconds(nanoseconds);
    };
    struct Row {
        std::vector<Clock::time_point> modified;
        std::size_t count;
        std::vector<std::size_t> removed;
    };
    const Row rows[] = {
        {{}, 2, {}},
        {{at(1), at(2)}, 2, {}},
        {{at(1), at(3), at(2)}, 2, {0}},
        {{at(5), at(1), at(4), at(2), at(3)}, 2, {1, 3, 4}},
        {{at(1), at(1, 1)}, 1, {0}},  // nanoseconds decide
        {{at(1), at(2)}, 0, {0, 1}},
    };
    for (const Row& row : rows) {
        auto removed = ReportSaveSchedule::beyondNewest(row.modified, row.count);
        std::sort(removed.begin(), removed.end());
        EXPECT_EQ(removed, row.removed);
    }
}

}  // namespace
}  // namespace sorvanta
