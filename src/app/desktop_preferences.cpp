#include "app/desktop_preferences.h"

#include <systemd/sd-bus.h>

#include <string>

namespace sorvanta {
namespace {

struct Value {
    std::optional<std::uint32_t> number;
    std::optional<bool> flag;
};

// Reads a value that may sit inside any number of variants.
Value readValue(sd_bus_message* m) {
    Value value;
    char type = 0;
    const char* contents = nullptr;
    while (sd_bus_message_peek_type(m, &type, &contents) > 0 && type == 'v') {
        if (sd_bus_message_enter_container(m, 'v', contents) < 0)
            return value;
    }
    if (type == 'u') {
        std::uint32_t u = 0;
        if (sd_bus_message_read_basic(m, 'u', &u) >= 0)
            value.number = u;
    } else if (type == 'i') {
        std::int32_t i = 0;
        if (sd_bus_message_read_basic(m, 'i', &i) >= 0 && i >= 0)
            value.number = static_cast<std::uint32_t>(i);
    } else if (type == 'b') {
        int b = 0;
        if (sd_bus_message_read_basic(m, 'b', &b) >= 0)
            value.flag = b != 0;
    }
    return value;
}

Value readSetting(sd_bus* bus, const char* space, const char* key) {
    for (const char* method : {"ReadOne", "Read"}) {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        const int r = sd_bus_call_method(
            bus, "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
            "org.freedesktop.portal.Settings", method, &error, &reply, "ss", space, key);
        const bool unknownMethod =
            r < 0 && sd_bus_error_has_name(&error, SD_BUS_ERROR_UNKNOWN_METHOD);
        sd_bus_error_free(&error);
        if (r >= 0) {
            Value value = readValue(reply);
            sd_bus_message_unref(reply);
            return value;
        }
        if (!unknownMethod)
            break;
    }
    return {};
}

}  // namespace

DesktopPreferences DesktopPreferences::resolve(std::optional<std::uint32_t> colorScheme,
                                               std::optional<std::uint32_t> reducedMotion,
                                               std::optional<bool> enableAnimations) {
    DesktopPreferences prefs;
    if (colorScheme == 1u)
        prefs.dark = true;
    if (colorScheme == 2u)
        prefs.dark = false;
    if (reducedMotion == 1u) {
        prefs.reduceMotion = true;
    } else if (enableAnimations) {
        prefs.reduceMotion = !*enableAnimations;
    } else if (reducedMotion == 0u) {
        prefs.reduceMotion = false;
    }
    return prefs;
}

DesktopPreferences DesktopPreferences::read() {
    sd_bus* bus = nullptr;
    if (sd_bus_open_user(&bus) < 0)
        return {};
    sd_bus_set_method_call_timeout(bus, 500'000);
    const Value scheme = readSetting(bus, "org.freedesktop.appearance", "color-scheme");
    const Value motion = readSetting(bus, "org.freedesktop.appearance", "reduced-motion");
    const Value animations = readSetting(bus, "org.gnome.desktop.interface", "enable-animations");
    sd_bus_flush_close_unref(bus);
    return resolve(scheme.number, motion.number, animations.flag);
}

}  // namespace sorvanta
