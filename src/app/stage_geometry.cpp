#include "app/stage_geometry.h"

#include <cmath>

namespace sorvanta {

RectF StageGeometry::leftTile(const WindowMetrics& m) {
    return {0, 0, m.tileWidth, m.tileHeight};
}

RectF StageGeometry::rightTile(const WindowMetrics& m) {
    return {m.width - m.tileWidth, 0, m.tileWidth, m.tileHeight};
}

RectF StageGeometry::band(const WindowMetrics& m) {
    return {m.tileWidth - 4, 0.47 * m.tileHeight - m.bandHeight / 2, m.width - 2 * m.tileWidth + 8,
            m.bandHeight};
}

RectF StageGeometry::laneArea(const WindowMetrics& m) {
    return {m.tileWidth, band(m).y, m.width - 2 * m.tileWidth, m.bandHeight};
}

PointF StageGeometry::outboundFigureCentre(const WindowMetrics& m) {
    return {m.width / 2, band(m).minY() / 2 - 2};
}

PointF StageGeometry::inboundFigureCentre(const WindowMetrics& m) {
    return {m.width / 2, (band(m).maxY() + m.tileHeight) / 2 + 4};
}

RectF StageGeometry::centreContent(const WindowMetrics& m) {
    const double w = m.width - 2 * m.tileWidth - 32;
    return {m.width / 2 - w / 2, 0.47 * m.tileHeight - m.bandHeight / 2, w, m.bandHeight};
}

PathF StageGeometry::bandPath(const WindowMetrics& m, double amount, bool edges) {
    const RectF r = band(m);
    if (std::isnan(amount) || amount < 0)
        amount = 0;
    const double half = r.width / 2 * amount;
    PathF path;
    if (half <= 0.5)
        return path;
    const double c = m.width / 2;
    const double left = c - half;
    const double right = c + half;
    if (!edges) {
        path.closed.push_back(
            {{left, r.minY()}, {right, r.minY()}, {right, r.maxY()}, {left, r.maxY()}});
        return path;
    }
    const double a = left <= m.tileWidth - 0.5 ? m.tileWidth - 0.5 : left;
    const double b = m.width - m.tileWidth + 0.5 < right ? m.width - m.tileWidth + 0.5 : right;
    const double top = r.minY() + 0.5;
    const double bottom = r.maxY() - 0.5;
    path.open.push_back({{a, top}, {b, top}});
    path.open.push_back({{a, bottom}, {b, bottom}});
    if (left > m.tileWidth)
        path.open.push_back({{left + 0.5, top}, {left + 0.5, bottom}});
    if (right < m.width - m.tileWidth)
        path.open.push_back({{right - 0.5, top}, {right - 0.5, bottom}});
    return path;
}

PathF StageGeometry::ethernetPort(const RectF& r) {
    const double x0 = r.x, y0 = r.y, w = r.width, h = r.height;
    const double cx = x0 + w / 2;
    const double t = y0 + 0.26 * h;
    PathF path;
    path.closed.push_back({{x0, t},
                           {cx - 0.26 * w, t},
                           {cx - 0.26 * w, y0},
                           {cx + 0.26 * w, y0},
                           {cx + 0.26 * w, t},
                           {x0 + w, t},
                           {x0 + w, y0 + h},
                           {x0, y0 + h}});
    const double contactBottom = t + 0.38 * (h - 0.26 * h);
    for (double f : {0.26, 0.42, 0.58, 0.74})
        path.open.push_back({{x0 + f * w, t}, {x0 + f * w, contactBottom}});
    return path;
}

}  // namespace sorvanta
