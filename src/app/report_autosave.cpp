#include "app/report_autosave.h"

#include <utility>

namespace sorvanta {

ReportAutosave::ReportAutosave(bool enabled, std::optional<std::filesystem::path> folder,
                               AppBuild build)
    : enabled_(enabled), schedule_(std::move(build)) {
    if (folder)
        folder_.emplace(std::move(*folder));
}

void ReportAutosave::saveIfNeeded(const ServiceSnapshot& snapshot) {
    if (!enabled_ || !folder_)
        return;
    const auto report = schedule_.due(snapshot);
    if (!report || !folder_->prepare())
        return;
    folder_->write(report->fileName, report->text);
    const auto entries = folder_->entries();
    std::vector<std::chrono::system_clock::time_point> modified;
    modified.reserve(entries.size());
    for (const auto& entry : entries)
        modified.push_back(entry.modified);
    for (std::size_t index : ReportSaveSchedule::beyondNewest(modified, ReportSaveSchedule::kept))
        ReportFolder::remove(entries[index].path);
}

}  // namespace sorvanta
