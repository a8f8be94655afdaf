#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

#include "assessment/report/connection_details_report.h"
#include "protocol/service_snapshot.h"
#include "support/uuid.h"

namespace sorvanta {

// Writes the Connection Details report of every finished run to "<run>.txt" in one folder
// of this application's own, once per run, and keeps the newest 50 entries there. Only
// when the program was started with "-SorvantaSaveReports YES". Never reports a failure.
class ReportAutosave {
  public:
    static constexpr std::size_t kept = 50;

    // `folder` absent: there is nowhere to write, so nothing is ever saved.
    ReportAutosave(bool enabled, std::optional<std::filesystem::path> folder, AppBuild build = {});

    // True exactly when the arguments hold "-SorvantaSaveReports" and the argument right
    // after its first occurrence is "YES".
    static bool enabledBy(std::span<const std::string> arguments);
    // "<data>/Sorvanta/Reports" where <data> is $XDG_DATA_HOME when it is an absolute path,
    // else "<home>/.local/share"; absent when neither is known.
    static std::optional<std::filesystem::path> folderFor(const char* xdgDataHome,
                                                          const char* home);

    // Saves the shown snapshot's run once it is no longer busy and has ended.
    void saveIfNeeded(const ServiceSnapshot& snapshot);
    const std::optional<Uuid>& savedReportRun() const { return savedReportRun_; }

    // Removes every entry of `folder` after the `count` newest by modification time, one by
    // one: files, links and empty folders go; nothing is followed or descended into.
    static void keepNewest(const std::filesystem::path& folder, std::size_t count);

  private:
    bool enabled_;
    std::optional<std::filesystem::path> folder_;
    AppBuild build_;
    std::optional<Uuid> savedReportRun_;
};

}  // namespace sorvanta
