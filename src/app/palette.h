#pragma once

namespace sorvanta {

// A colour in sRGB with opacity, each component 0…1.
struct Rgba {
    double r = 0;
    double g = 0;
    double b = 0;
    double a = 1;
    Rgba withAlpha(double alpha) const { return {r, g, b, a * alpha}; }
    bool operator==(const Rgba&) const = default;

    static Rgba white(double level, double alpha = 1) { return {level, level, level, alpha}; }
    static Rgba bytes(int r, int g, int b) { return {r / 255.0, g / 255.0, b / 255.0, 1}; }
    static Rgba hsb(double hue, double saturation, double brightness, double alpha = 1);
};

// The window's colours for light or dark appearance.
struct Palette {
    bool dark = false;

    static Palette forScheme(bool dark) { return {dark}; }

    // Traffic leaving this computer (the system blue) and arriving (a pink).
    Rgba outbound() const;
    Rgba inbound() const { return Rgba::hsb(0.88, 0.72, 0.82); }
    Rgba surface() const { return Rgba::white(dark ? 0.3 : 0.955); }
    Rgba edge() const { return Rgba::white(dark ? 0.4 : 0.86); }
    Rgba windowBackground() const { return Rgba::white(dark ? 0.196 : 0.925); }
    Rgba controlBackground() const { return Rgba::white(dark ? 0.118 : 1.0); }
    Rgba primary() const { return dark ? Rgba::white(1, 0.85) : Rgba::white(0, 0.85); }
    Rgba secondary() const { return dark ? Rgba::white(1, 0.55) : Rgba::white(0, 0.5); }
    Rgba tertiary() const { return dark ? Rgba::white(1, 0.25) : Rgba::white(0, 0.26); }
    Rgba quaternary() const { return dark ? Rgba::white(1, 0.1) : Rgba::white(0, 0.1); }
    Rgba orange() const { return dark ? Rgba::bytes(255, 159, 10) : Rgba::bytes(255, 149, 0); }
    Rgba green() const { return dark ? Rgba::bytes(50, 215, 75) : Rgba::bytes(40, 205, 65); }
    Rgba red() const { return dark ? Rgba::bytes(255, 69, 58) : Rgba::bytes(255, 59, 48); }
    // The colour of a lane or figure: outbound for direction 1 and up, inbound otherwise.
    Rgba direction(int direction) const { return direction >= 1 ? outbound() : inbound(); }
};

}  // namespace sorvanta
