#include <gtest/gtest.h>

#include "app/lane_flow.h"
#include "app/lane_marks.h"
#include "app/stage_geometry.h"

namespace sorvanta {
namespace {

using Lane = WindowPresentation::Lane;
using Flow = WindowPresentation::Flow;

const Lane dots{1, Flow::dots, std::nullopt};
Lane chevrons(int direction, std::optional<double> rate) {
    return {direction, Flow::chevrons, rate};
}

TEST(LaneFlow, TargetSpeeds) {
    const std::pair<Lane, double> rows[] = {
        {dots, 50},
        {chevrons(1, std::nullopt), 40},
        {chevrons(1, 1e6), 30},
        {chevrons(1, 1e8), 60},
        {chevrons(-1, 1e9), 90},
        {chevrons(1, 1e10), 120},
        {chevrons(1, std::nan("")), 30},
    };
    for (const auto& [lane, speed] : rows)
        EXPECT_NEAR(LaneFlow::targetSpeed(lane), speed, 1e-9);
}

TEST(LaneFlow, AdvancesEasesPausesAndResets) {
    LaneFlow flow;
    EXPECT_EQ(flow.advance({dots}, true, 100), std::vector<double>{0});
    EXPECT_NEAR(flow.advance({dots}, true, 100 + 1 / 60.0)[0], 50 / 60.0, 1e-9);
    // A long gap travels at most 0.1 s; time going backwards does not move.
    EXPECT_NEAR(flow.advance({dots}, true, 103)[0], 50 / 60.0 + 5, 1e-9);
    EXPECT_NEAR(flow.advance({dots}, true, 102)[0], 50 / 60.0 + 5, 1e-9);
    // Paused: the marks stay put but the time moves on.
    EXPECT_NEAR(flow.advance({dots}, false, 110)[0], 50 / 60.0 + 5, 1e-9);
    EXPECT_EQ(flow.last(), 110);
    // A rate change eases the speed 4 % of the way per frame at 60 fps, without a reset.
    flow.advance({chevrons(1, 1e8)}, true, 200);
    flow.advance({chevrons(1, 1e9)}, true, 200 + 1 / 60.0);
    EXPECT_NEAR(flow.speeds()[0], 60 + 30 * 2.5 / 60, 1e-9);
    // Same direction, another flow: a new lane set from zero.
    EXPECT_EQ(flow.advance({dots}, true, 201), std::vector<double>{0});
    EXPECT_TRUE(flow.advance({}, true, 202).empty());
}

TEST(LaneMarks, LayoutAndPlacement) {
    constexpr WindowMetrics m = WindowMetrics::preset();
    const LaneLayout one = LaneLayout::forBand(44, 1);
    EXPECT_NEAR(one.chevronSpacing, 23.32, 1e-9);
    EXPECT_NEAR(one.markSize, 6.6, 1e-9);
    EXPECT_NEAR(one.chevronLineWidth, 2.42, 1e-9);
    EXPECT_EQ(LaneLayout::forBand(30, 1).chevronLineWidth, 2);
    EXPECT_NEAR(LaneLayout::forBand(44, 2).markSize, 4.84, 1e-9);
    const RectF area = StageGeometry::laneArea(m);
    struct Row {
        std::vector<Lane> lanes;
        std::vector<double> laneYs;
    };
    const Row rows[] = {
        {{dots}, {area.midY()}},
        {{chevrons(1, 1e9), chevrons(-1, 1e9)}, {area.midY() - 10.34, area.midY() + 10.34}},
        {{dots, dots, dots}, {area.midY(), area.midY(), area.midY()}},
    };
    for (const Row& row : rows) {
        for (const LaneMark& mark : laneMarks(m, row.lanes, {})) {
            EXPECT_NEAR(mark.centre.y, row.laneYs[mark.lane], 1e-9);
            EXPECT_GT(mark.opacity, 0);
            EXPECT_GT(mark.centre.x, area.minX() - 2);
            EXPECT_LT(mark.centre.x, area.maxX() + 2);
        }
    }
    // Offsets move outbound marks right and inbound marks left; the tip follows.
    const auto out = laneMarks(m, {chevrons(1, 1e9)}, {5});
    const auto in = laneMarks(m, {chevrons(-1, 1e9)}, {5});
    EXPECT_NEAR(out[0].centre.x, area.minX() + 5, 1e-9);
    EXPECT_NEAR(in[0].centre.x, area.minX() - 5 + one.chevronSpacing, 1e-9);
    EXPECT_GT(out[0].chevron[1].x, out[0].centre.x);
    EXPECT_LT(in[0].chevron[1].x, in[0].centre.x);
    // Direction 0: inbound motion, a vertical stroke.
    const auto flat = laneMarks(m, {chevrons(0, std::nullopt)}, {1});
    EXPECT_EQ(flat[0].chevron[0].x, flat[0].chevron[1].x);
}

TEST(LaneMarks, FadeAtTheEnds) {
    const RectF area{138, 0, 444, 44};
    const std::pair<double, double> rows[] = {
        {138, 0.2}, {582, 0.2}, {136, 0}, {584, 0}, {146, 1}, {360, 1}, {141, 0.5},
    };
    for (const auto& [x, alpha] : rows)
        EXPECT_NEAR(laneFade(area, x), alpha, 1e-9) << x;
}

}  // namespace
}  // namespace sorvanta
