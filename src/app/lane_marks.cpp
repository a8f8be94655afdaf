#include "app/lane_marks.h"

#include <algorithm>
#include <cmath>

#include "app/stage_geometry.h"

namespace sorvanta {

LaneLayout LaneLayout::forBand(double h, std::size_t laneCount) {
    return {laneCount == 2 ? 0.11 * h : 0.15 * h, 0.53 * h, std::max(0.055 * h, 2.0)};
}

double laneFade(const RectF& area, double x) {
    const double alpha = std::min(1.0, (std::min(x - area.minX(), area.maxX() - x) + 2) / 10);
    return std::max(alpha, 0.0);
}

std::vector<LaneMark> laneMarks(const WindowMetrics& m,
                                const std::vector<WindowPresentation::Lane>& lanes,
                                const std::vector<double>& offsets) {
    const RectF area = StageGeometry::laneArea(m);
    const double h = m.bandHeight;
    const LaneLayout layout = LaneLayout::forBand(h, lanes.size());
    const double a = layout.markSize;
    std::vector<LaneMark> marks;
    for (std::size_t i = 0; i < lanes.size(); ++i) {
        const auto& lane = lanes[i];
        const int d = lane.direction;
        const bool dots = lane.flow == WindowPresentation::Flow::dots;
        double y = area.midY();
        if (lanes.size() == 2)
            y += (i == 0 ? -0.235 : 0.235) * h;
        const double s = dots ? LaneLayout::dotSpacing : layout.chevronSpacing;
        const double o = i < offsets.size() ? offsets[i] : 0;
        const double p = std::fmod(o, s);
        const double x0 = d > 0 ? area.minX() - s + p : area.minX() - s + (s - p);
        for (double x = x0; x < area.maxX() + s; x += s) {
            const double alpha = laneFade(area, x);
            if (alpha <= 0)
                continue;
            LaneMark mark;
            mark.lane = static_cast<int>(i);
            mark.flow = lane.flow;
            mark.direction = d;
            mark.centre = {x, y};
            mark.opacity = alpha;
            if (dots) {
                mark.radius = 0.42 * a;
            } else {
                mark.chevron = {
                    {x - 0.55 * a * d, y - a}, {x + 0.45 * a * d, y}, {x - 0.55 * a * d, y + a}};
                mark.lineWidth = layout.chevronLineWidth;
            }
            marks.push_back(std::move(mark));
        }
    }
    return marks;
}

}  // namespace sorvanta
