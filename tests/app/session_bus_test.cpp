#include "app/session_bus.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QMenuBar>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "app_harness.h"

namespace sorvanta {
namespace {

TEST(SessionBus, AStandInOnlyWhenNothingNamesABus) {
    struct Row {
        const char* name;
        const char* address;
        const char* runtime;
        bool socket;  // the runtime directory holds "bus"
        std::optional<std::string> standIn;
    };
    const Row rows[] = {
        {"address given", "unix:path=/run/user/1000/bus", "/run/user/1000", false, std::nullopt},
        {"address given, socket too", "unix:path=/x", "/run/user/1000", true, std::nullopt},
        {"socket in the runtime directory", nullptr, "/run/user/1000", true, std::nullopt},
        {"empty address, socket", "", "/run/user/1000", true, std::nullopt},
        {"runtime directory without socket", nullptr, "/run/user/1000", false, "disabled:"},
        {"no runtime directory", nullptr, nullptr, false, "disabled:"},
        {"empty address, nothing else", "", nullptr, false, "disabled:"},
        {"relative runtime directory", nullptr, "run", true, "disabled:"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const auto exists = [&](const std::filesystem::path& path) {
            return row.socket && path == std::filesystem::path(row.runtime) / "bus";
        };
        EXPECT_EQ(sessionBusStandIn(row.address, row.runtime, exists), row.standIn);
    }
}

// Run in a child process by the test below, on a real X display: the whole application with
// its menus and windows, as long as a desktop session's first second.
TEST(SessionBusChild, ShowsTheWindowsOnTheDisplay) {
    const char* guard = std::getenv("SORVANTA_TEST_BUS_GUARD");
    if (guard == nullptr)
        GTEST_SKIP() << "runs only as the child of NoBusIsLeftBehindOnAnXDisplay";
    if (std::string(guard) == "1")
        keepSessionBusFromStarting();
    testing::Harness h;
    h.app->detailsWindow().show();
    h.app->helpWindow().show();
    for (int i = 0; i < 10; ++i) {
        testing::settle();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    h.app->quit();
    testing::settle();
}

// An X server of its own for the test, on a display it picks.
class XServer {
  public:
    XServer() {
        int fds[2];
        if (::pipe(fds) != 0)
            return;
        pid_t pid = ::fork();
        if (pid == 0) {
            ::close(fds[0]);
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, STDERR_FILENO);
            const std::string fd = std::to_string(fds[1]);
            ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-screen", "0",
                     "800x600x24", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(fds[1]);
        pid_ = pid;
        char buffer[16] = {};
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer - 1);
        ::close(fds[0]);
        if (n > 0)
            display_ = ":" + std::to_string(std::atoi(buffer));
    }
    ~XServer() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    const std::string& display() const { return display_; }

  private:
    pid_t pid_ = -1;
    std::string display_;
};

// Every process whose environment carries `marker`, the child's own included.
std::vector<pid_t> processesMarked(const std::string& marker) {
    std::vector<pid_t> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream in(entry.path() / "environ", std::ios::binary);
        std::stringstream environ;
        environ << in.rdbuf();
        if (environ.str().find(marker) != std::string::npos)
            found.push_back(std::stoi(name));
    }
    return found;
}

// Runs the child test on the display with no session bus anywhere; returns the processes it
// left behind, after ending them.
std::vector<pid_t> leftBehind(const std::string& display, bool guard) {
    const std::string marker =
        "SORVANTA_TEST_BUS_MARK=" + std::to_string(::getpid()) + "-" + (guard ? "guarded" : "bare");
    const std::filesystem::path runtime =
        std::filesystem::temp_directory_path() / ("bus-runtime-" + std::to_string(::getpid()));
    std::filesystem::create_directories(runtime);
    std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    const pid_t child = ::fork();
    if (child == 0) {
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
        ::unsetenv("AT_SPI_BUS_ADDRESS");
        ::setenv("DISPLAY", display.c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        ::setenv("SORVANTA_TEST_BUS_GUARD", guard ? "1" : "0", 1);
        // The X libraries' own leaks and their strndup of unterminated names are not this
        // check's business.
        const char* asan = std::getenv("ASAN_OPTIONS");
        ::setenv("ASAN_OPTIONS",
                 (std::string(asan ? asan : "") + ":detect_leaks=0:strict_string_checks=0").c_str(),
                 1);
        ::putenv(const_cast<char*>(marker.c_str()));
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        ::execl("/proc/self/exe", "app_tests", "--gtest_filter=SessionBusChild.*",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::vector<pid_t> found = processesMarked(marker);
    for (pid_t pid : found)
        ::kill(pid, SIGKILL);
    // They were orphaned to this process (a subreaper), which reaps them.
    for (pid_t pid : found)
        ::waitpid(pid, nullptr, 0);
    std::filesystem::remove_all(runtime);
    return found;
}

TEST(SessionBus, NoBusIsLeftBehindOnAnXDisplay) {
    if (std::system("command -v Xvfb >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "no Xvfb";
    XServer x;
    ASSERT_FALSE(x.display().empty());
    // Without the stand-in, the libraries start a bus that stays; this shows the check sees
    // it. A system that never starts one has nothing to prove here.
    if (leftBehind(x.display(), false).empty())
        GTEST_SKIP() << "no session bus is started on this system without one";
    EXPECT_EQ(leftBehind(x.display(), true), std::vector<pid_t>{});
}

}  // namespace
}  // namespace sorvanta
