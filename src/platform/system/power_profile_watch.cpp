#include "platform/system/power_profile_watch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace sorvanta {
namespace {

constexpr std::uint64_t callTimeoutMicroseconds = 1'000'000;
constexpr std::string_view powerSaver = "power-saver";

std::string rule(std::string_view path, std::string_view interface) {
    return "type='signal',interface='org.freedesktop.DBus.Properties',"
           "member='PropertiesChanged',path='" +
           std::string(path) + "',arg0='" + std::string(interface) + "'";
}

std::string ownerRule(std::string_view name) {
    return "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
           "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='" +
           std::string(name) + "'";
}

// Reads a variant holding a string; absent when it holds anything else.
std::optional<std::string> readStringVariant(sd_bus_message* message) {
    const char* text = nullptr;
    if (sd_bus_message_enter_container(message, 'v', "s") <= 0) {
        return std::nullopt;
    }
    if (sd_bus_message_read_basic(message, 's', &text) <= 0 ||
        sd_bus_message_exit_container(message) < 0) {
        return std::nullopt;
    }
    return std::string(text);
}

}  // namespace

std::unique_ptr<PowerProfileWatch> PowerProfileWatch::open(sd_bus* bus) {
    std::unique_ptr<PowerProfileWatch> watch(new PowerProfileWatch(bus));
    sd_bus_set_method_call_timeout(bus, callTimeoutMicroseconds);
    watch->wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (watch->wakeFd_ < 0 || !watch->subscribe()) {
        return nullptr;
    }
    watch->readNow();
    return watch;
}

void PowerProfileWatch::wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wakeFd_, &one, sizeof one);
}

PowerProfileWatch::PowerProfileWatch(sd_bus* connection) : bus(connection) {
    profiles[0] = {"net.hadess.PowerProfiles",
                   "/net/hadess/PowerProfiles",
                   "net.hadess.PowerProfiles",
                   this,
                   {},
                   {}};
    profiles[1] = {"org.freedesktop.UPower.PowerProfiles",
                   "/org/freedesktop/UPower/PowerProfiles",
                   "org.freedesktop.UPower.PowerProfiles",
                   this,
                   {},
                   {}};
}

PowerProfileWatch::~PowerProfileWatch() {
    for (auto* slot : slots) {
        sd_bus_slot_unref(slot);
    }
    sd_bus_flush_close_unref(bus);
    if (wakeFd_ >= 0) {
        ::close(wakeFd_);
    }
}

bool PowerProfileWatch::lowPower() const {
    for (const auto& profile : profiles) {
        if (profile.active) {
            return *profile.active == powerSaver;
        }
    }
    return false;
}

void PowerProfileWatch::changed() {
    if (changed_) {
        changed_(lowPower());
    }
}

bool PowerProfileWatch::subscribe() {
    for (auto& profile : profiles) {
        for (const auto& [text, callback] :
             {std::pair{ownerRule(profile.name), &PowerProfileWatch::ownerChanged},
              std::pair{rule(profile.path, profile.interface),
                        &PowerProfileWatch::propertiesChanged}}) {
            sd_bus_slot* slot = nullptr;
            if (sd_bus_add_match(bus, &slot, text.c_str(), callback, &profile) < 0) {
                return false;
            }
            slots.push_back(slot);
        }
    }
    return true;
}

void PowerProfileWatch::readNow() {
    for (auto& profile : profiles) {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        const char* owner = nullptr;
        if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "GetNameOwner", &error, &reply, "s",
                               std::string(profile.name).c_str()) >= 0 &&
            sd_bus_message_read(reply, "s", &owner) > 0) {
            profile.owner = owner;
        }
        sd_bus_message_unref(reply);
        sd_bus_error_free(&error);
        if (profile.owner.empty()) {
            continue;
        }
        reply = nullptr;
        if (sd_bus_call_method(bus, profile.owner.c_str(), std::string(profile.path).c_str(),
                               "org.freedesktop.DBus.Properties", "Get", &error, &reply, "ss",
                               std::string(profile.interface).c_str(), "ActiveProfile") >= 0) {
            profile.active = readStringVariant(reply);
        }
        sd_bus_message_unref(reply);
        sd_bus_error_free(&error);
    }
}

void PowerProfileWatch::askActive(Profile& profile) {
    const int sent = sd_bus_call_method_async(
        profile.watch->bus, nullptr, profile.owner.c_str(), std::string(profile.path).c_str(),
        "org.freedesktop.DBus.Properties", "Get", &PowerProfileWatch::activeRead, &profile, "ss",
        std::string(profile.interface).c_str(), "ActiveProfile");
    if (sent < 0) {
        profile.watch->changed();
    }
}

int PowerProfileWatch::activeRead(sd_bus_message* reply, void* data, sd_bus_error*) {
    auto& profile = *static_cast<Profile*>(data);
    // Only the current owner's answer counts, not a late one from the owner before.
    const char* sender = sd_bus_message_get_sender(reply);
    if (!sd_bus_message_is_method_error(reply, nullptr) && sender && sender == profile.owner) {
        profile.active = readStringVariant(reply);
    }
    profile.watch->changed();
    return 0;
}

int PowerProfileWatch::ownerChanged(sd_bus_message* message, void* data, sd_bus_error*) {
    auto& profile = *static_cast<Profile*>(data);
    const char *name = nullptr, *before = nullptr, *after = nullptr;
    if (sd_bus_message_read(message, "sss", &name, &before, &after) <= 0 || name != profile.name) {
        return 0;
    }
    profile.owner = after;
    profile.active.reset();
    // A new owner is heard from when its profile has been read, so that a restart of
    // the daemon does not look like two changes.
    if (profile.owner.empty()) {
        profile.watch->changed();
    } else {
        askActive(profile);
    }
    return 0;
}

int PowerProfileWatch::propertiesChanged(sd_bus_message* message, void* data, sd_bus_error*) {
    auto& profile = *static_cast<Profile*>(data);
    const char* sender = sd_bus_message_get_sender(message);
    const char* interface = nullptr;
    if (profile.owner.empty() || !sender || sender != profile.owner ||
        sd_bus_message_read(message, "s", &interface) <= 0 || interface != profile.interface ||
        sd_bus_message_enter_container(message, 'a', "{sv}") <= 0) {
        return 0;
    }
    while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
        const char* key = nullptr;
        if (sd_bus_message_read_basic(message, 's', &key) <= 0) {
            return 0;
        }
        if (std::string_view(key) == "ActiveProfile") {
            if (auto active = readStringVariant(message)) {
                profile.active = std::move(active);
                profile.watch->changed();
            }
        } else if (sd_bus_message_skip(message, "v") < 0) {
            return 0;
        }
        if (sd_bus_message_exit_container(message) < 0) {
            return 0;
        }
    }
    // A profile named only as invalidated is asked for.
    const char* invalidated = nullptr;
    if (sd_bus_message_exit_container(message) >= 0 &&
        sd_bus_message_enter_container(message, 'a', "s") > 0) {
        while (sd_bus_message_read_basic(message, 's', &invalidated) > 0) {
            if (std::string_view(invalidated) == "ActiveProfile") {
                askActive(profile);
            }
        }
    }
    return 0;
}

void PowerProfileWatch::run(std::function<void(bool)> onChange) {
    changed_ = std::move(onChange);
    for (;;) {
        const int processed = sd_bus_process(bus, nullptr);
        if (processed > 0) {
            continue;
        }
        const int events = sd_bus_get_events(bus);
        if (processed < 0 || events < 0) {
            break;
        }
        int timeout = -1;
        std::uint64_t due = 0;
        if (sd_bus_get_timeout(bus, &due) >= 0 && due != UINT64_MAX) {
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            const auto nowMicroseconds = static_cast<std::uint64_t>(now.tv_sec) * 1'000'000 +
                                         static_cast<std::uint64_t>(now.tv_nsec) / 1000;
            timeout = due <= nowMicroseconds ? 0
                                             : static_cast<int>(std::min<std::uint64_t>(
                                                   (due - nowMicroseconds + 999) / 1000, 60'000));
        }
        pollfd fds[2] = {{sd_bus_get_fd(bus), static_cast<short>(events), 0}, {wakeFd_, POLLIN, 0}};
        if (::poll(fds, 2, timeout) < 0 && errno != EINTR) {
            break;
        }
        if (fds[1].revents != 0) {
            return;
        }
    }
    // The bus is gone: nothing tells the mode any more.
    for (auto& profile : profiles) {
        profile.owner.clear();
        profile.active.reset();
    }
    changed();
}

}  // namespace sorvanta
