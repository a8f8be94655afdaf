#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/palette.h"
#include "assessment/presentation/window_presentation.h"
#include "assessment/text/display_format.h"

namespace sorvanta {

// The texts, symbols and colours the main window's pieces show, chosen from the presentation
// by plain functions so the widgets only paint them.

// A large rate figure: arrow, number (or "—") and unit chosen on the unrounded rate.
struct RateFigure {
    bool outbound = true;
    std::string number;
    std::string unit;
    bool warning = false;
    static RateFigure make(std::optional<double> bitsPerSecond, bool outbound, bool warning,
                           const DisplayFormat& format = DisplayFormat::current());
    // The figures above and below the band for the presentation's rates.
    static std::optional<RateFigure> above(const WindowPresentation& p,
                                           const DisplayFormat& format = DisplayFormat::current());
    static std::optional<RateFigure> below(const WindowPresentation& p,
                                           const DisplayFormat& format = DisplayFormat::current());
};

// One caption of the row over the tiles.
struct PortCaption {
    enum class Kind { none, noAdapter, starting, port };
    Kind kind = Kind::none;
    std::string text;
    std::string help;
    std::string accessibleName;
    bool operator==(const PortCaption&) const = default;
    static PortCaption local(std::optional<std::uint64_t> speed, bool noLocal, bool starting,
                             const DisplayFormat& format = DisplayFormat::current());
    static PortCaption peer(std::optional<std::uint64_t> speed,
                            const DisplayFormat& format = DisplayFormat::current());
};

// What one computer tile shows. There are no model pictures here: a present computer shows
// the generic computer symbol, an absent one a question mark.
struct TileContent {
    enum class Symbol { questionMark, computer };
    bool present = true;
    Symbol symbol = Symbol::computer;
    std::string name;
    std::string caption;
    bool lockBadge = false;
    double opacity = 1;
    static TileContent make(bool isLocal, const WindowPresentation& p, const std::string& thisName);
};

// One pass tile's texts and colours.
struct PassTileLook {
    struct Run {
        std::string text;
        Rgba color;
    };
    std::string title;
    std::string stateWord;
    Rgba tint;
    bool running = false;
    std::vector<Run> caption;  // a single space when there is none, keeping the line's height
    static PassTileLook make(const WindowPresentation::Pass& pass, const Rgba& qualityColor,
                             const Palette& palette,
                             const DisplayFormat& format = DisplayFormat::current());
    // The running quality tile takes the first lane's colour, outbound without lanes.
    static Rgba qualityColor(const std::vector<WindowPresentation::Lane>& lanes,
                             const Palette& palette);
};

// The stage's spoken summary for assistive technology.
std::string stageSummary(const WindowPresentation& p,
                         const DisplayFormat& format = DisplayFormat::current());

// The name this computer's tile shows: the pretty or plain host name, else "This Mac".
std::string localComputerName(const std::optional<std::string>& hostName);

}  // namespace sorvanta
