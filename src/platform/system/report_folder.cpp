#include "platform/system/report_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace sorvanta {
namespace {

namespace fs = std::filesystem;

// True when `path` is a real directory, not a link to one somewhere else.
bool isOwnDirectory(const fs::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::chrono::system_clock::time_point timeOf(const struct timespec& time) {
    using namespace std::chrono;
    return system_clock::time_point(
        duration_cast<system_clock::duration>(seconds(time.tv_sec) + nanoseconds(time.tv_nsec)));
}

}  // namespace

std::optional<fs::path> ReportFolder::forUser(const char* xdgDataHome, const char* home) {
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

bool ReportFolder::prepare() const {
    // A link anywhere on the way is left as it is; only the final folder must be real.
    std::error_code error;
    fs::create_directories(path_, error);
    return isOwnDirectory(path_);
}

bool ReportFolder::write(const std::string& name, const std::string& text) const {
    std::string temporary = (path_ / ("." + name + ".XXXXXX")).string();
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0)
        return false;
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
    if (!ok || std::rename(temporary.c_str(), (path_ / name).c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

std::vector<ReportFolder::Entry> ReportFolder::entries() const {
    std::vector<Entry> entries;
    if (!isOwnDirectory(path_))
        return entries;
    std::error_code error;
    for (fs::directory_iterator it(path_, error), end; !error && it != end; it.increment(error)) {
        struct stat info {};
        // The entry's own date: a link counts by itself, not by what it points at.
        struct timespec modified {};
        if (::lstat(it->path().c_str(), &info) == 0)
            modified = info.st_mtim;
        entries.push_back({it->path(), timeOf(modified)});
    }
    return entries;
}

void ReportFolder::remove(const fs::path& entry) {
    std::error_code ignored;
    fs::remove(entry, ignored);
}

}  // namespace sorvanta
