#pragma once

#include "app/geometry.h"
#include "app/window_metrics.h"

namespace sorvanta {

// Where the stage's parts stand, in the stage's own space (m.width × m.tileHeight).
struct StageGeometry {
    static RectF leftTile(const WindowMetrics& m);
    static RectF rightTile(const WindowMetrics& m);
    // The full band: spans the gap between the tiles and reaches 4 px under each tile.
    static RectF band(const WindowMetrics& m);
    // The gap between the tiles at band height; lanes are clipped to it.
    static RectF laneArea(const WindowMetrics& m);
    static double tileCornerRadius(const WindowMetrics& m) { return 0.17 * m.tileWidth; }
    // Centres of the outbound figure (above the band) and the inbound one (below).
    static PointF outboundFigureCentre(const WindowMetrics& m);
    static PointF inboundFigureCentre(const WindowMetrics& m);
    // The frame of the status text or link caption in the middle of the band.
    static RectF centreContent(const WindowMetrics& m);

    // The band grown to `amount` (0 none, 1 full; more is not clamped) from the middle of the
    // gap. Filled: one rectangle. Edges: the top and bottom lines, stopping half a pixel
    // inside each tile, and an end line for each end still inside the gap; every line is
    // inset half a pixel so a 1-px stroke stays inside the band.
    static PathF bandPath(const WindowMetrics& m, double amount, bool edges);

    // An RJ45 socket outline scaled to `r`: the body with its key tab, and four contacts.
    static PathF ethernetPort(const RectF& r);
};

}  // namespace sorvanta
