#pragma once

#include <signal.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "lab/temp_folder.h"

namespace sorvanta::testing {

// A D-Bus daemon of the test's own in a temporary folder, open to every user (so that a
// thread that dropped its rights may connect too), with mock services on it
// (python3-dbusmock) that the test starts; all of them end with it.
class PrivateBus {
  public:
    // Whether the programs it needs are there.
    static bool available() {
        return std::filesystem::exists("/usr/bin/dbus-daemon") &&
               std::system("/usr/bin/python3 -c 'import dbusmock' 2>/dev/null") == 0;
    }

    PrivateBus() {
        std::filesystem::permissions(folder_.path, std::filesystem::perms::others_exec,
                                     std::filesystem::perm_options::add);
        const auto config = folder_.path / "bus.conf";
        std::ofstream(config) << "<busconfig><type>session</type><listen>unix:dir="
                              << folder_.path.string()
                              << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                                 "<allow user=\"*\"/><allow send_destination=\"*\" "
                                 "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                                 "<allow own=\"*\"/></policy></busconfig>\n";
        const auto lines = start("/usr/bin/dbus-daemon --config-file=" + config.string() +
                                     " --fork --print-address=1 --print-pid=1 2>/dev/null",
                                 2);
        if (lines.size() != 2) {
            return;
        }
        daemon_ = std::atoi(lines[1].c_str());
        if (sd_bus_new(&bus_) < 0 || sd_bus_set_address(bus_, lines[0].c_str()) < 0 ||
            sd_bus_set_bus_client(bus_, 1) < 0 || sd_bus_start(bus_) < 0) {
            return;
        }
        address_ = lines[0];
    }

    ~PrivateBus() {
        sd_bus_flush_close_unref(bus_);
        endMocks();
        if (daemon_ > 0) {
            ::kill(daemon_, SIGTERM);  // not our child: the system reaps it
        }
    }

    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // Empty when the daemon did not start.
    const std::string& address() const { return address_; }
    // The test's own connection.
    sd_bus* bus() const { return bus_; }

    // Starts `python3 -m dbusmock` with `arguments`, with this bus as the system bus, and
    // waits until `name` is owned.
    bool mock(const std::string& arguments, const char* name) {
        const auto lines =
            start("DBUS_SYSTEM_BUS_ADDRESS='" + address_ + "' /usr/bin/python3 -m dbusmock " +
                      arguments + " >/dev/null 2>&1 & echo $!",
                  1);
        if (lines.empty()) {
            return false;
        }
        mocks_.push_back(std::atoi(lines[0].c_str()));
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
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    // Ends every mock service started so far, as a service that quits or crashes.
    void endMocks() {
        for (const pid_t process : mocks_) {
            if (process > 0) {
                ::kill(process, SIGTERM);  // not our child: the system reaps it
            }
        }
        mocks_.clear();
    }

  private:
    // Runs `command` through the shell and keeps the first `count` lines it prints.
    static std::vector<std::string> start(const std::string& command, int count) {
        std::vector<std::string> lines;
        FILE* out = ::popen(command.c_str(), "r");
        if (out == nullptr) {
            return lines;
        }
        char line[512];
        for (int i = 0; i < count && std::fgets(line, sizeof line, out); ++i) {
            lines.emplace_back(line, std::strcspn(line, "\n"));
        }
        ::pclose(out);
        return lines;
    }

    TempFolder folder_{"sorvanta-bus"};
    std::string address_;
    sd_bus* bus_ = nullptr;
    pid_t daemon_ = -1;
    std::vector<pid_t> mocks_;
};

}  // namespace sorvanta::testing
