#include "platform/system/dbus_low_power_source.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <thread>
#include <vector>

extern char** environ;

namespace sorvanta {
namespace {

using namespace std::chrono_literals;

// A child process this test started, ended with it.
class Child {
  public:
    Child(std::vector<std::string> argv, std::vector<std::string> extraEnv = {},
          int* out = nullptr) {
        int pipeFds[2] = {-1, -1};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        // Their chatter is not the test's output.
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        if (out && ::pipe(pipeFds) == 0) {
            posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
            posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
        }
        std::vector<std::string> env(extraEnv);
        for (char** e = environ; *e; ++e) {
            env.emplace_back(*e);
        }
        auto pointers = [](std::vector<std::string>& strings) {
            std::vector<char*> list;
            for (auto& s : strings) {
                list.push_back(s.data());
            }
            list.push_back(nullptr);
            return list;
        };
        auto args = pointers(argv);
        auto envp = pointers(env);
        if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data()) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        if (out) {
            ::close(pipeFds[1]);
            *out = pipeFds[0];
        }
    }
    ~Child() { end(); }

    void end() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            for (int i = 0; i < 100 && ::waitpid(pid_, nullptr, WNOHANG) == 0; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            if (::waitpid(pid_, nullptr, WNOHANG) == 0) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, nullptr, 0);
            }
            pid_ = -1;
        }
    }
    bool running() const { return pid_ > 0; }

  private:
    pid_t pid_ = -1;
};

// A line from `fd` within `limit`, or empty.
std::string readLine(int fd, std::chrono::milliseconds limit) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    char c = 0;
    pollfd p{fd, POLLIN, 0};
    while (std::chrono::steady_clock::now() < deadline && ::poll(&p, 1, 100) >= 0) {
        if ((p.revents & POLLIN) && ::read(fd, &c, 1) == 1) {
            if (c == '\n') {
                return line;
            }
            line += c;
        } else if (p.revents & (POLLHUP | POLLERR)) {
            break;
        }
    }
    return {};
}

class DbusLowPowerSourceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::filesystem::exists("/usr/bin/dbus-daemon") ||
            std::system("/usr/bin/python3 -c 'import dbusmock' 2>/dev/null") != 0) {
            GTEST_SKIP() << "dbus-daemon or python3-dbusmock missing";
        }
        int out = -1;
        daemon_ =
            std::make_unique<Child>(std::vector<std::string>{"/usr/bin/dbus-daemon", "--session",
                                                             "--nofork", "--print-address"},
                                    std::vector<std::string>{}, &out);
        address_ = readLine(out, 5s);
        ::close(out);
        ASSERT_FALSE(address_.empty());
        ASSERT_GE(sd_bus_new(&bus_), 0);
        ASSERT_GE(sd_bus_set_address(bus_, address_.c_str()), 0);
        ASSERT_GE(sd_bus_set_bus_client(bus_, 1), 0);
        ASSERT_GE(sd_bus_start(bus_), 0);
        io_thread_ = std::thread([this] { io_.run(); });
    }

    void TearDown() override {
        work_.reset();
        if (io_thread_.joinable()) {
            io_thread_.join();
        }
        sd_bus_flush_close_unref(bus_);
    }

    void startDaemon(const std::string& profile) {
        mock_ = std::make_unique<Child>(
            std::vector<std::string>{"/usr/bin/python3", "-m", "dbusmock", "--template",
                                     "power_profiles_daemon", "-p",
                                     "{\"ActiveProfile\": \"" + profile + "\"}"},
            std::vector<std::string>{"DBUS_SYSTEM_BUS_ADDRESS=" + address_});
        for (int i = 0; i < 200; ++i) {
            int owned = 0;
            sd_bus_message* reply = nullptr;
            if (sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                   "org.freedesktop.DBus", "NameHasOwner", nullptr, &reply, "s",
                                   "net.hadess.PowerProfiles") >= 0) {
                sd_bus_message_read(reply, "b", &owned);
            }
            sd_bus_message_unref(reply);
            if (owned) {
                return;
            }
            std::this_thread::sleep_for(50ms);
        }
        FAIL() << "the mock daemon did not appear";
    }

    void setProfile(const char* profile) {
        ASSERT_GE(
            sd_bus_set_property(bus_, "net.hadess.PowerProfiles", "/net/hadess/PowerProfiles",
                                "net.hadess.PowerProfiles", "ActiveProfile", nullptr, "s", profile),
            0);
    }

    // Waits (bounded) until the handler has seen `count` values.
    std::vector<bool> seen(std::size_t count) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, 1s, [&] { return values_.size() >= count; });
        return values_;
    }

    void watch(DbusLowPowerSource& source) {
        source.start(io_.get_executor(), [this](bool value) {
            EXPECT_TRUE(io_.get_executor().running_in_this_thread());
            const std::lock_guard lock(mutex_);
            values_.push_back(value);
            changed_.notify_all();
        });
    }

    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_ = asio::make_work_guard(io_);
    std::thread io_thread_;
    std::unique_ptr<Child> daemon_, mock_;
    std::string address_;
    sd_bus* bus_ = nullptr;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<bool> values_;
};

TEST_F(DbusLowPowerSourceTest, FollowsTheActiveProfile) {
    startDaemon("power-saver");
    DbusLowPowerSource source(address_);
    EXPECT_TRUE(source.lowPower());
    watch(source);
    setProfile("balanced");
    EXPECT_EQ(seen(1), std::vector<bool>{false});
    setProfile("performance");  // still not power-saver: nothing to say
    setProfile("power-saver");
    EXPECT_EQ(seen(2), (std::vector<bool>{false, true}));
    EXPECT_TRUE(source.lowPower());
    // The daemon going away leaves nothing to tell: false.
    mock_->end();
    EXPECT_EQ(seen(3), (std::vector<bool>{false, true, false}));
    source.stop();
}

TEST_F(DbusLowPowerSourceTest, NoDaemonOrNoBusIsFalse) {
    DbusLowPowerSource source(address_);
    EXPECT_FALSE(source.lowPower());
    DbusLowPowerSource nowhere("unix:path=/nonexistent/bus");
    EXPECT_FALSE(nowhere.lowPower());
    // A daemon that appears later is read when it does.
    watch(source);
    startDaemon("power-saver");
    EXPECT_EQ(seen(1), std::vector<bool>{true});
    source.stop();
}

}  // namespace
}  // namespace sorvanta
