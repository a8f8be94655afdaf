#include "app/report_autosave.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "assessment/run_fixture.h"
#include "lab/temp_folder.h"

namespace sorvanta {
namespace {

using fixture::runIn;

using testing::readFile;
using testing::TempFolder;

namespace fs = std::filesystem;

void touch(const fs::path& path, int ageSeconds) {
    std::ofstream(path) << "x";
    fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::seconds(ageSeconds));
}

std::size_t count(const fs::path& folder) {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

TEST(ReportAutosave, SavesEachEndedRunOnce) {
    using Phase = SpeedSnapshot::Phase;
    struct Row {
        bool enabled;
        ServiceSnapshot snapshot;
        bool saved;
    };
    const Row rows[] = {
        {true, runIn(Phase::complete), true},      {true, runIn(Phase::cancelled), true},
        {true, runIn(Phase::failed), true},        {true, runIn(Phase::complete, true), false},
        {true, runIn(Phase::measuring), false},    {false, runIn(Phase::complete), false},
        {true, ServiceSnapshot::initial(), false},
    };
    for (const Row& row : rows) {
        TempFolder temp;
        const fs::path folder = temp.path / "Sorvanta" / "Reports";
        ReportAutosave autosave(row.enabled, folder);
        autosave.saveIfNeeded(row.snapshot);
        autosave.saveIfNeeded(row.snapshot);
        const bool exists = fs::exists(
            folder / (row.snapshot.speed.run ? row.snapshot.speed.run->text() + ".txt" : "-"));
        EXPECT_EQ(exists, row.saved);
        EXPECT_EQ(fs::exists(folder) && count(folder) == 1, row.saved);
        if (exists) {
            EXPECT_EQ(readFile(folder / (row.snapshot.speed.run->text() + ".txt")),
                      ConnectionDetailsReport(row.snapshot).copyText());
        }
    }
}

TEST(ReportAutosave, BusyRunIsSavedWhenItEndsAndAFailedWriteIsNotRetried) {
    TempFolder temp;
    ServiceSnapshot s = runIn(SpeedSnapshot::Phase::complete, true);
    ReportAutosave autosave(true, temp.path);
    autosave.saveIfNeeded(s);
    EXPECT_EQ(autosave.savedReportRun(), std::nullopt);
    s.speed.busy = false;
    autosave.saveIfNeeded(s);
    EXPECT_EQ(autosave.savedReportRun(), s.speed.run);
    // A folder that cannot be made is given up on for that run.
    std::ofstream(temp.path / "blocker") << "";
    ReportAutosave blocked(true, temp.path / "blocker" / "Reports");
    blocked.saveIfNeeded(s);
    EXPECT_EQ(blocked.savedReportRun(), s.speed.run);
    EXPECT_FALSE(fs::exists(temp.path / "blocker" / "Reports"));
}

TEST(ReportAutosave, KeepsTheNewestFiftyWithoutFollowingLinks) {
    TempFolder temp;
    const fs::path folder = temp.path / "Reports";
    const fs::path outside = temp.path / "outside";
    fs::create_directories(folder);
    fs::create_directories(outside / "tree");
    std::ofstream(outside / "tree" / "keep.txt") << "mine";
    // The oldest entries: a link to a folder outside, a folder with content, a stray file.
    fs::create_directory_symlink(outside, folder / "link");
    touch(folder / "other.dat", 1000);
    fs::create_directories(folder / "nested");
    touch(folder / "nested" / "inner.txt", 1000);
    fs::last_write_time(folder / "nested",
                        fs::file_time_type::clock::now() - std::chrono::seconds(999));
    struct timespec old[2] = {{0, 0}, {0, 0}};
    ::utimensat(AT_FDCWD, (folder / "link").c_str(), old, AT_SYMLINK_NOFOLLOW);
    for (int i = 0; i < 49; ++i)
        touch(folder / ("r" + std::to_string(i) + ".txt"), 100 + i);
    const ServiceSnapshot s = runIn(SpeedSnapshot::Phase::complete);
    ReportAutosave(true, folder).saveIfNeeded(s);
    // 53 entries: the new report and the 49 newest stay; the stray file and the link go;
    // the non-empty folder cannot go without recursion, and nothing outside is touched.
    EXPECT_TRUE(fs::exists(folder / (s.speed.run->text() + ".txt")));
    EXPECT_FALSE(fs::exists(folder / "other.dat"));
    EXPECT_FALSE(fs::is_symlink(folder / "link"));
    EXPECT_TRUE(fs::exists(folder / "nested" / "inner.txt"));
    EXPECT_TRUE(fs::exists(outside / "tree" / "keep.txt"));
    EXPECT_EQ(count(folder), 51u);
}

TEST(ReportAutosave, AReportsFolderThatIsALinkIsNotWrittenThrough) {
    TempFolder temp;
    fs::create_directories(temp.path / "elsewhere");
    fs::create_directory_symlink(temp.path / "elsewhere", temp.path / "Reports");
    ReportAutosave autosave(true, temp.path / "Reports");
    autosave.saveIfNeeded(runIn(SpeedSnapshot::Phase::complete));
    EXPECT_EQ(count(temp.path / "elsewhere"), 0u);
}

}  // namespace
}  // namespace sorvanta
