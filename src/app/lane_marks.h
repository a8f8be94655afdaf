#pragma once

#include <vector>

#include "app/geometry.h"
#include "app/window_metrics.h"
#include "assessment/presentation/window_presentation.h"

namespace sorvanta {

// The marks of the band's lanes in one frame, in the stage's space. Only marks whose centre
// lies within one spacing of the lane area are listed; each fades over the first and last
// 8 px of the area. Drawing is clipped to the lane area.
struct LaneMark {
    int lane = 0;
    WindowPresentation::Flow flow = WindowPresentation::Flow::chevrons;
    int direction = 1;
    PointF centre;
    double opacity = 1;
    // Dots: a filled circle of `radius`. Chevrons: an open polyline of three points stroked
    // with `lineWidth`, round caps and joins.
    double radius = 0;
    std::vector<PointF> chevron;
    double lineWidth = 0;
};

struct LaneLayout {
    double markSize = 0;  // 0.11 × band height for two lanes, else 0.15 ×
    double chevronSpacing = 0;
    double chevronLineWidth = 0;
    static LaneLayout forBand(double bandHeight, std::size_t laneCount);
    static constexpr double dotSpacing = 14;
};

std::vector<LaneMark> laneMarks(const WindowMetrics& m,
                                const std::vector<WindowPresentation::Lane>& lanes,
                                const std::vector<double>& offsets);

// A mark's opacity at `x`: 0.2 at each end of the lane area, full from 8 px inside.
double laneFade(const RectF& area, double x);

}  // namespace sorvanta
