#include "platform/system/report_folder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "lab/temp_folder.h"

namespace sorvanta {
namespace {

using testing::readFile;
using testing::TempFolder;

namespace fs = std::filesystem;

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
