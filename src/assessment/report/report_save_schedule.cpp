#include "assessment/report/report_save_schedule.h"

#include <algorithm>
#include <numeric>

namespace sorvanta {

bool ReportSaveSchedule::enabledBy(std::span<const std::string> arguments) {
    const auto flag = std::find(arguments.begin(), arguments.end(), "-SorvantaSaveReports");
    return flag != arguments.end() && std::next(flag) != arguments.end() &&
           *std::next(flag) == "YES";
}

std::optional<ReportSaveSchedule::Report> ReportSaveSchedule::due(
    const ServiceSnapshot& snapshot) {
    const auto& run = snapshot.speed.run;
    if (!run || savedReportRun_ == run)
        return std::nullopt;
    using Phase = SpeedSnapshot::Phase;
    const Phase phase = snapshot.speed.phase;
    if (snapshot.speed.busy ||
        (phase != Phase::complete && phase != Phase::cancelled && phase != Phase::failed))
        return std::nullopt;
    savedReportRun_ = run;
    return Report{run->text() + ".txt", ConnectionDetailsReport(snapshot, build_).copyText()};
}

std::vector<std::size_t> ReportSaveSchedule::beyondNewest(
    std::span<const std::chrono::system_clock::time_point> modified, std::size_t count) {
    if (modified.size() <= count)
        return {};
    std::vector<std::size_t> order(modified.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return modified[a] > modified[b]; });
    order.erase(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(count));
    return order;
}

}  // namespace sorvanta
