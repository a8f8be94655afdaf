#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace sorvanta {

// A folder of this application's own that reports are saved in. Links are never followed:
// the folder itself must be a real directory, a file is replaced rather than written
// through a link of its name, and entries are dated and removed by themselves.
class ReportFolder {
  public:
    struct Entry {
        std::filesystem::path path;
        std::chrono::system_clock::time_point modified;  // unreadable: the distant past
    };

    explicit ReportFolder(std::filesystem::path path) : path_(std::move(path)) {}

    // "<data>/Sorvanta/Reports" where <data> is $XDG_DATA_HOME when it is an absolute path,
    // else "<home>/.local/share"; absent when neither is known.
    static std::optional<std::filesystem::path> forUser(const char* xdgDataHome,
                                                         const char* home);

    const std::filesystem::path& path() const { return path_; }

    // Creates the folder and its parents; true when the folder is then a real directory.
    bool prepare() const;

    // Writes to a fresh temporary file in the folder and renames it over `name`, so the file
    // is never half-written; false when nothing was written.
    bool write(const std::string& name, const std::string& text) const;

    // Every entry of the folder; none when the folder is not a real directory.
    std::vector<Entry> entries() const;

    // Unlinks a file or a link, or removes an empty folder; never recursive.
    static void remove(const std::filesystem::path& entry);

  private:
    std::filesystem::path path_;
};

}  // namespace sorvanta
