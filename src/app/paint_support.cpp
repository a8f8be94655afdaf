#include "app/paint_support.h"

#include <QApplication>
#include <QPalette>
#include <QStyleFactory>
#include <cmath>

namespace sorvanta {

QFont uiFont(double pixels, QFont::Weight weight) {
    QFont font = QGuiApplication::font();
    font.setPixelSize(std::max(1, static_cast<int>(std::lround(pixels))));
    font.setWeight(weight);
    return font;
}

void matchToolkitPalette(const Palette& palette) {
    const bool toolkitDark = QApplication::palette().color(QPalette::Window).lightnessF() < 0.5;
    if (!palette.dark || toolkitDark)
        return;
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QPalette dark;
    dark.setColor(QPalette::Window, toQColor(palette.windowBackground()));
    dark.setColor(QPalette::WindowText, toQColor(palette.primary()));
    dark.setColor(QPalette::Base, toQColor(palette.controlBackground()));
    dark.setColor(QPalette::AlternateBase, toQColor(palette.surface()));
    dark.setColor(QPalette::Text, toQColor(palette.primary()));
    dark.setColor(QPalette::Button, toQColor(Rgba::white(0.35)));
    dark.setColor(QPalette::ButtonText, toQColor(palette.primary()));
    dark.setColor(QPalette::ToolTipBase, toQColor(palette.surface()));
    dark.setColor(QPalette::ToolTipText, toQColor(palette.primary()));
    dark.setColor(QPalette::Highlight, toQColor(palette.outbound()));
    dark.setColor(QPalette::HighlightedText, Qt::white);
    dark.setColor(QPalette::PlaceholderText, toQColor(palette.secondary()));
    dark.setColor(QPalette::Disabled, QPalette::Text, toQColor(palette.tertiary()));
    dark.setColor(QPalette::Disabled, QPalette::WindowText, toQColor(palette.tertiary()));
    dark.setColor(QPalette::Disabled, QPalette::ButtonText, toQColor(palette.tertiary()));
    QApplication::setPalette(dark);
}

QPainterPath toPainterPath(const PathF& path) {
    QPainterPath out;
    const auto add = [&](const std::vector<PointF>& points, bool close) {
        if (points.empty())
            return;
        out.moveTo(points[0].x, points[0].y);
        for (std::size_t i = 1; i < points.size(); ++i)
            out.lineTo(points[i].x, points[i].y);
        if (close)
            out.closeSubpath();
    };
    for (const auto& polygon : path.closed)
        add(polygon, true);
    for (const auto& line : path.open)
        add(line, false);
    return out;
}

}  // namespace sorvanta
