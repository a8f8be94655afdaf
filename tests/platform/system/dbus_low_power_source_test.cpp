#include "platform/system/dbus_low_power_source.h"

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <thread>
#include <vector>

#include "lab/private_bus.h"

namespace sorvanta {
namespace {

using namespace std::chrono_literals;

class DbusLowPowerSourceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!testing::PrivateBus::available()) {
            GTEST_SKIP() << "dbus-daemon or python3-dbusmock missing";
        }
        bus_ = std::make_unique<testing::PrivateBus>();
        ASSERT_FALSE(bus_->address().empty());
        address_ = bus_->address();
        io_thread_ = std::thread([this] { io_.run(); });
    }

    void TearDown() override {
        work_.reset();
        if (io_thread_.joinable()) {
            io_thread_.join();
        }
    }

    void startDaemon(const std::string& profile) {
        ASSERT_TRUE(bus_->mock("--template power_profiles_daemon -p '{\"ActiveProfile\": \"" +
                                   profile + "\"}'",
                               "net.hadess.PowerProfiles"));
    }

    // A daemon known only by its newer name.
    void startNewerName(const char* profile) {
        const char* name = "org.freedesktop.UPower.PowerProfiles";
        const char* path = "/org/freedesktop/UPower/PowerProfiles";
        ASSERT_TRUE(bus_->mock(std::string("--system ") + name + " " + path + " " + name, name));
        ASSERT_GE(sd_bus_call_method(bus_->bus(), name, path, "org.freedesktop.DBus.Mock",
                                     "AddProperty", nullptr, nullptr, "ssv", name,
                                     "ActiveProfile", "s", profile),
                  0);
    }

    void setProfile(const char* profile) {
        ASSERT_GE(
            sd_bus_set_property(bus_->bus(), "net.hadess.PowerProfiles", "/net/hadess/PowerProfiles",
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
    std::unique_ptr<testing::PrivateBus> bus_;
    std::string address_;
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
    bus_->endMocks();
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
