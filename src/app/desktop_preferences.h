#pragma once

#include <cstdint>
#include <optional>

namespace sorvanta {

// Appearance and motion as the desktop publishes them through the settings portal (the
// freedesktop appearance keys, or GNOME's interface settings). Absent where nothing is
// published: then motion stays on and the toolkit's palette decides light or dark.
struct DesktopPreferences {
    std::optional<bool> dark;
    std::optional<bool> reduceMotion;

    // colorScheme: 0 no preference, 1 dark, 2 light. reducedMotion: 0 no preference,
    // 1 reduce. enableAnimations: GNOME's switch, false meaning reduce.
    static DesktopPreferences resolve(std::optional<std::uint32_t> colorScheme,
                                      std::optional<std::uint32_t> reducedMotion,
                                      std::optional<bool> enableAnimations);
    // Asks the portal on the session bus, waiting at most half a second per key; empty when
    // there is no bus or no portal.
    static DesktopPreferences read();

    bool darkOr(bool paletteDark) const { return dark.value_or(paletteDark); }
    bool motionReduced() const { return reduceMotion.value_or(false); }
};

}  // namespace sorvanta
