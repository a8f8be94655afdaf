#include "app/paint_support.h"

#include <QGuiApplication>
#include <cmath>

namespace sorvanta {

QFont uiFont(double pixels, QFont::Weight weight) {
    QFont font = QGuiApplication::font();
    font.setPixelSize(std::max(1, static_cast<int>(std::lround(pixels))));
    font.setWeight(weight);
    return font;
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
