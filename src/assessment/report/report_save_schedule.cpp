#include "assessment/report/report_autosave.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

namespace sorvanta {
namespace {

namespace fs = std::filesystem;

// True when `path` is a real directory, not a link to one somewhere else.
bool isOwnDirectory(const fs::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Creates the folder and its parents; a link anywhere on the way is left as it is, and the
// final folder must be a real directory.
bool prepareFolder(const fs::path& folder) {
    std::error_code error;
    fs::create_directories(folder, error);
    return isOwnDirectory(folder);
}

// Writes to a fresh temporary file in the folder and renames it over the target, so the
// file is never half-written and an existing link of that name is replaced, not followed.
void writeAtomically(const fs::path& folder, const std::string& name, const std::string& text) {
    std::string temporary = (folder / ("." + name + ".XXXXXX")).string();
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0)
        return;
    bool ok = ::fchmod(fd, 0644) == 0;
    std::size_t written = 0;
    while (ok && written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0) {
            ok = false;
        } else {
            written += static_cast<std::size_t>(n);
        }
    }
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    if (!ok || std::rename(temporary.c_str(), (folder / name).c_str()) != 0)
        ::unlink(temporary.c_str());
}

}  // namespace

ReportAutosave::ReportAutosave(bool enabled, std::optional<fs::path> folder, AppBuild build)
    : enabled_(enabled), folder_(std::move(folder)), build_(std::move(build)) {}

bool ReportAutosave::enabledBy(std::span<const std::string> arguments) {
    const auto flag = std::find(arguments.begin(), arguments.end(), "-SorvantaSaveReports");
    return flag != arguments.end() && std::next(flag) != arguments.end() &&
           *std::next(flag) == "YES";
}

std::optional<fs::path> ReportAutosave::folderFor(const char* xdgDataHome, const char* home) {
    fs::path data;
    if (xdgDataHome != nullptr && fs::path(xdgDataHome).is_absolute()) {
        data = xdgDataHome;
    } else if (home != nullptr && fs::path(home).is_absolute()) {
        data = fs::path(home) / ".local" / "share";
    } else {
        return std::nullopt;
    }
    return data / "Sorvanta" / "Reports";
}

void ReportAutosave::saveIfNeeded(const ServiceSnapshot& snapshot) {
    if (!enabled_)
        return;
    const auto& run = snapshot.speed.run;
    if (!run || savedReportRun_ == run)
        return;
    using Phase = SpeedSnapshot::Phase;
    const Phase phase = snapshot.speed.phase;
    if (snapshot.speed.busy ||
        (phase != Phase::complete && phase != Phase::cancelled && phase != Phase::failed))
        return;
    if (!folder_)
        return;
    // Marked before anything is touched, so a run whose write fails is not tried again.
    savedReportRun_ = run;
    if (!prepareFolder(*folder_))
        return;
    writeAtomically(*folder_, run->text() + ".txt",
                    ConnectionDetailsReport(snapshot, build_).copyText());
    keepNewest(*folder_, kept);
}

void ReportAutosave::keepNewest(const fs::path& folder, std::size_t count) {
    if (!isOwnDirectory(folder))
        return;
    struct Entry {
        fs::path path;
        struct timespec modified;
    };
    std::vector<Entry> entries;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        struct stat info {};
        // The entry's own date: a link counts by itself, not by what it points at.
        struct timespec modified {};  // unreadable: the distant past
        if (::lstat(it->path().c_str(), &info) == 0)
            modified = info.st_mtim;
        entries.push_back({it->path(), modified});
    }
    if (entries.size() <= count)
        return;
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        if (a.modified.tv_sec != b.modified.tv_sec)
            return a.modified.tv_sec > b.modified.tv_sec;
        return a.modified.tv_nsec > b.modified.tv_nsec;
    });
    for (std::size_t i = count; i < entries.size(); ++i) {
        std::error_code ignored;
        // Unlinks a file or a link, or removes an empty folder; never recursive.
        fs::remove(entries[i].path, ignored);
    }
}

}  // namespace sorvanta
