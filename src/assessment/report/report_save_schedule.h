#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "assessment/report/connection_details_report.h"
#include "protocol/service_snapshot.h"
#include "support/uuid.h"

namespace sorvanta {

// Decides which Connection Details reports are saved and which saved entries stay: the
// report of every finished run once, as "<run>.txt", and the newest 50 entries of the folder.
// The file work itself belongs to the caller.
class ReportSaveSchedule {
  public:
    static constexpr std::size_t kept = 50;

    struct Report {
        std::string fileName;
        std::string text;
    };

    explicit ReportSaveSchedule(AppBuild build = {}) : build_(std::move(build)) {}

    // True exactly when the arguments hold "-SorvantaSaveReports" and the argument right
    // after its first occurrence is "YES".
    static bool enabledBy(std::span<const std::string> arguments);

    // The report of the snapshot's run once the run is no longer busy and has ended, the
    // first time only: the run counts as saved from then on, so a failed write is not tried
    // again.
    std::optional<Report> due(const ServiceSnapshot& snapshot);
    const std::optional<Uuid>& savedReportRun() const { return savedReportRun_; }

    // Of entries last modified at `modified`, the positions of those after the `count`
    // newest, in no particular order.
    static std::vector<std::size_t> beyondNewest(
        std::span<const std::chrono::system_clock::time_point> modified, std::size_t count);

  private:
    AppBuild build_;
    std::optional<Uuid> savedReportRun_;
};

}  // namespace sorvanta
