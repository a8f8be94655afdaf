#pragma once

#include <QColor>
#include <QFont>
#include <QPainterPath>

#include "app/geometry.h"
#include "app/palette.h"

namespace sorvanta {

// How the windows look and move, from the desktop's preferences.
struct Appearance {
    Palette palette;
    bool reduceMotion = false;
};

inline QColor toQColor(const Rgba& c) {
    return QColor::fromRgbF(c.r, c.g, c.b, c.a);
}

// The system font at a size in device-independent pixels.
QFont uiFont(double pixels, QFont::Weight weight = QFont::Normal);

QPainterPath toPainterPath(const PathF& path);

// Gives the toolkit's own controls (menus, buttons, scroll bars) the palette's appearance
// when the desktop asks for dark and the toolkit's default palette is light.
void matchToolkitPalette(const Palette& palette);
inline QRectF toQRect(const RectF& r) {
    return {r.x, r.y, r.width, r.height};
}

}  // namespace sorvanta
