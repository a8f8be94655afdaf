#include "platform/system/report_folder.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <optional>

#include "lab/temp_folder.h"

namespace sorvanta {
namespace {

using testing::readFile;
using testing::TempFolder;

namespace fs = std::filesystem;

// Lowers this process's file-size limit for the guard's life. Writing past it fails with
// EFBIG instead of raising SIGXFSZ, which would end the test program.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        previous_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = saved_;
        lowered.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previous_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

  private:
    rlimit saved_{};
    void (*previous_)(int) = SIG_DFL;
};

std::vector<std::string> namesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(ReportFolder, FolderForTheUser) {
    EXPECT_EQ(ReportFolder::forUser("/x/data", "/home/u"), fs::path("/x/data/Sorvanta/Reports"));
    EXPECT_EQ(ReportFolder::forUser("relative", "/home/u"),
              fs::path("/home/u/.local/share/Sorvanta/Reports"));
    EXPECT_EQ(ReportFolder::forUser(nullptr, "/home/u"),
              fs::path("/home/u/.local/share/Sorvanta/Reports"));
    EXPECT_EQ(ReportFolder::forUser(nullptr, "home"), std::nullopt);
    EXPECT_EQ(ReportFolder::forUser(nullptr, nullptr), std::nullopt);
}

TEST(ReportFolder, WriteReplacesALinkOfTheNameAndLeavesNoTemporary) {
    TempFolder temp;
    const ReportFolder folder(temp.path / "Reports");
    ASSERT_TRUE(folder.prepare());
    std::ofstream(temp.path / "target") << "untouched";
    fs::create_symlink(temp.path / "target", folder.path() / "r.txt");
    EXPECT_TRUE(folder.write("r.txt", "report"));
    EXPECT_FALSE(fs::is_symlink(folder.path() / "r.txt"));
    EXPECT_EQ(readFile(folder.path() / "r.txt"), "report");
    EXPECT_EQ(readFile(temp.path / "target"), "untouched");
    EXPECT_EQ(folder.entries().size(), 1u);
}

// A write cut short (here by the file-size limit, as on a full disk) keeps nothing of the
// new report: no file of the name, no temporary, and an earlier report of the name intact.
TEST(ReportFolder, AWriteCutShortLeavesNothingOfTheNewReport) {
    const struct {
        const char* name;
        std::size_t size;
        std::optional<std::string> earlier;
        bool written;
    } rows[] = {
        {"fits the limit", 1000, std::nullopt, true},
        {"past the limit", 64 * 1024, std::nullopt, false},
        {"past the limit over an earlier report", 64 * 1024, "earlier report", false},
    };
    for (const auto& row : rows) {
        TempFolder temp;
        const ReportFolder folder(temp.path / "Reports");
        ASSERT_TRUE(folder.prepare());
        if (row.earlier)
            std::ofstream(folder.path() / "r.txt") << *row.earlier;
        const std::string text(row.size, 'x');
        bool written = false;
        {
            const FileSizeLimit limit(4096);
            written = folder.write("r.txt", text);
        }
        EXPECT_EQ(written, row.written) << row.name;
        const bool kept = row.written || row.earlier;
        EXPECT_EQ(namesIn(folder.path()),
                  kept ? std::vector<std::string>{"r.txt"} : std::vector<std::string>{})
            << row.name;
        if (kept) {
            // Compared as a whole, not printed: the report is 64 KiB.
            const std::string content = readFile(folder.path() / "r.txt");
            EXPECT_TRUE(content == (row.written ? text : *row.earlier))
                << row.name << ": " << content.size() << " bytes";
        }
    }
}

TEST(ReportFolder, AFolderThatIsALinkOrMissingHasNoEntriesAndCannotBePrepared) {
    TempFolder temp;
    fs::create_directories(temp.path / "elsewhere");
    std::ofstream(temp.path / "elsewhere" / "a.txt") << "x";
    fs::create_directory_symlink(temp.path / "elsewhere", temp.path / "Reports");
    const ReportFolder linked(temp.path / "Reports");
    EXPECT_FALSE(linked.prepare());
    EXPECT_TRUE(linked.entries().empty());
    EXPECT_TRUE(ReportFolder(temp.path / "missing").entries().empty());
    EXPECT_FALSE(ReportFolder(temp.path / "missing").write("r.txt", "report"));
}

}  // namespace
}  // namespace sorvanta
