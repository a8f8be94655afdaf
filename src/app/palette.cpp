#include "app/palette.h"

#include <cmath>

namespace sorvanta {

Rgba Rgba::hsb(double hue, double saturation, double brightness, double alpha) {
    const double h = (hue - std::floor(hue)) * 6;
    const int sector = static_cast<int>(h) % 6;
    const double f = h - std::floor(h);
    const double v = brightness;
    const double p = v * (1 - saturation);
    const double q = v * (1 - saturation * f);
    const double t = v * (1 - saturation * (1 - f));
    switch (sector) {
        case 0:
            return {v, t, p, alpha};
        case 1:
            return {q, v, p, alpha};
        case 2:
            return {p, v, t, alpha};
        case 3:
            return {p, q, v, alpha};
        case 4:
            return {t, p, v, alpha};
        default:
            return {v, p, q, alpha};
    }
}

Rgba Palette::outbound() const {
    return dark ? Rgba::bytes(10, 132, 255) : Rgba::bytes(0, 122, 255);
}

}  // namespace sorvanta
