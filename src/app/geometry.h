#pragma once

#include <vector>

namespace sorvanta {

// Plain 2-D values in the drawing space of one widget: origin top-left, y grows downwards.
struct PointF {
    double x = 0;
    double y = 0;
    bool operator==(const PointF&) const = default;
};

struct RectF {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
    double minX() const { return x; }
    double maxX() const { return x + width; }
    double minY() const { return y; }
    double maxY() const { return y + height; }
    double midX() const { return x + width / 2; }
    double midY() const { return y + height / 2; }
    RectF insetBy(double d) const { return {x + d, y + d, width - 2 * d, height - 2 * d}; }
    bool operator==(const RectF&) const = default;
};

struct LineF {
    PointF from;
    PointF to;
    bool operator==(const LineF&) const = default;
};

// A path of separate pieces: closed polygons and open polylines.
struct PathF {
    std::vector<std::vector<PointF>> closed;
    std::vector<std::vector<PointF>> open;
    bool empty() const { return closed.empty() && open.empty(); }
};

}  // namespace sorvanta
