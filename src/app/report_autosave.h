#pragma once

#include <filesystem>
#include <optional>

#include "assessment/report/report_save_schedule.h"
#include "platform/system/report_folder.h"

namespace sorvanta {

// Writes the Connection Details report of every finished run into the reports folder, once
// per run, and keeps the newest entries there. Only when the program was started with
// "-SorvantaSaveReports YES". Never reports a failure.
class ReportAutosave {
  public:
    // `folder` absent: there is nowhere to write, so nothing is ever saved.
    ReportAutosave(bool enabled, std::optional<std::filesystem::path> folder, AppBuild build = {});

    // Saves the shown snapshot's run once it is no longer busy and has ended.
    void saveIfNeeded(const ServiceSnapshot& snapshot);
    const std::optional<Uuid>& savedReportRun() const { return schedule_.savedReportRun(); }

  private:
    bool enabled_;
    std::optional<ReportFolder> folder_;
    ReportSaveSchedule schedule_;
};

}  // namespace sorvanta
