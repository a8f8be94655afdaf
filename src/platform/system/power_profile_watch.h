#pragma once

#include <systemd/sd-bus.h>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sorvanta {

// What one bus connection knows of power-profiles-daemon's active profile, under the
// daemon's own name (net.hadess.PowerProfiles) and its newer one
// (org.freedesktop.UPower.PowerProfiles): the owners of both names, their profiles, and
// their PropertiesChanged signals, accepted only from the current owner.
class PowerProfileWatch {
  public:
    // Takes over a started connection, subscribes and reads the profile (blocking; each
    // call bounded by one second). Null, with the connection closed, when it cannot watch.
    static std::unique_ptr<PowerProfileWatch> open(sd_bus* bus);
    ~PowerProfileWatch();

    PowerProfileWatch(const PowerProfileWatch&) = delete;
    PowerProfileWatch& operator=(const PowerProfileWatch&) = delete;

    // Whether the profile is "power-saver": the daemon's own name decides while it is
    // there, the newer name only when alone; false when neither is owned.
    bool lowPower() const;

    // Serves the bus on the calling thread until wake(), or until the bus goes away (then
    // nothing is known any more); `changed` gets lowPower() after each event that may
    // change it.
    void run(std::function<void(bool)> changed);

    // Ends run(); from any thread.
    void wake();

  private:
    struct Profile {
        std::string_view name, path, interface;
        PowerProfileWatch* watch = nullptr;
        std::string owner;                  // unique name of the current owner; empty: none
        std::optional<std::string> active;  // the active profile while owned
    };

    explicit PowerProfileWatch(sd_bus* connection);

    bool subscribe();
    void readNow();
    void changed();
    static void askActive(Profile& profile);
    static int activeRead(sd_bus_message* reply, void* data, sd_bus_error* error);
    static int ownerChanged(sd_bus_message* message, void* data, sd_bus_error* error);
    static int propertiesChanged(sd_bus_message* message, void* data, sd_bus_error* error);

    sd_bus* bus;
    int wakeFd_ = -1;
    std::array<Profile, 2> profiles;
    std::vector<sd_bus_slot*> slots;
    std::function<void(bool)> changed_;
};

}  // namespace sorvanta
