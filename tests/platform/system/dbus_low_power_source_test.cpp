#include "platform/system/dbus_low_power_source.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

namespace sorvanta {
namespace {

using namespace std::chrono_literals;

// A background process this test started, ended with it.
class Process {
  public:
    // Runs `command` through the shell and keeps the first `count` lines it prints; the
    // last of them is the process id.
    explicit Process(const std::string& command, int count = 1) {
        FILE* out = ::popen(command.c_str(), "r");
        if (!out) {
            return;
        }
        char line[512];
        for (int i = 0; i < count && std::fgets(line, sizeof line, out); ++i) {
            lines.emplace_back(line, std::strcspn(line, "\n"));
        }
        ::pclose(out);
        pid_ = lines.empty() ? -1 : std::atoi(lines.back().c_str());
    }
    ~Process() { end(); }

    // Asks it to end; the system reaps it (it is not this process's child).
    void end() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            pid_ = -1;
        }
    }

    std::vector<std::string> lines;

  private:
    pid_t pid_ = -1;
};

class DbusLowPowerSourceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::filesystem::exists("/usr/bin/dbus-daemon") ||
            std::system("/usr/bin/python3 -c 'import dbusmock' 2>/dev/null") != 0) {
            GTEST_SKIP() << "dbus-daemon or python3-dbusmock missing";
        }
        daemon_ = std::make_unique<Process>(
            "/usr/bin/dbus-daemon --session --fork --print-address=1 --print-pid=1 2>/dev/null", 2);
        ASSERT_EQ(daemon_->lines.size(), 2u);
        address_ = daemon_->lines[0];
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

    std::unique_ptr<Process> mock(const std::string& arguments) {
        return std::make_unique<Process>("DBUS_SYSTEM_BUS_ADDRESS='" + address_ +
                                         "' /usr/bin/python3 -m dbusmock " + arguments +
                                         " >/dev/null 2>&1 & echo $!");
    }

    void startDaemon(const std::string& profile) {
        mock_ =
            mock("--template power_profiles_daemon -p '{\"ActiveProfile\": \"" + profile + "\"}'");
        waitForName("net.hadess.PowerProfiles");
    }

    // A daemon known only by its newer name.
    void startNewerName(const char* profile) {
        const char* name = "org.freedesktop.UPower.PowerProfiles";
        const char* path = "/org/freedesktop/UPower/PowerProfiles";
        mock_ = mock(std::string("--system ") + name + " " + path + " " + name);
        waitForName(name);
        ASSERT_GE(sd_bus_call_method(bus_, name, path, "org.freedesktop.DBus.Mock", "AddProperty",
                                     nullptr, nullptr, "ssv", name, "ActiveProfile", "s", profile),
                  0);
    }

    void waitForName(const char* name) {
        for (int i = 0; i < 200; ++i) {
            int owned = 0;
            sd_bus_message* reply = nullptr;
            if (sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                   "org.freedesktop.DBus", "NameHasOwner", nullptr, &reply, "s",
                                   name) >= 0) {
                sd_bus_message_read(reply, "b", &owned);
            }
            sd_bus_message_unref(reply);
            if (owned) {
                return;
            }
            std::this_thread::sleep_for(50ms);
        }
        FAIL() << name << " did not appear";
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
    std::unique_ptr<Process> daemon_, mock_;
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

TEST_F(DbusLowPowerSourceTest, ReadsTheNewerNameWhenAlone) {
    startNewerName("power-saver");
    DbusLowPowerSource source(address_);
    EXPECT_TRUE(source.lowPower());
}

}  // namespace
}  // namespace sorvanta
