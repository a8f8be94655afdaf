#include "app/stage_geometry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace sorvanta {
namespace {

constexpr WindowMetrics m = WindowMetrics::preset();

void expectPoints(const std::vector<PointF>& got, const std::vector<PointF>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_NEAR(got[i].x, want[i].x, 1e-9) << i;
        EXPECT_NEAR(got[i].y, want[i].y, 1e-9) << i;
    }
}

TEST(StageGeometry, PartsOfTheStageAtTheWindowsMetrics) {
    const RectF band = StageGeometry::band(m);
    EXPECT_DOUBLE_EQ(band.x, 134);
    EXPECT_NEAR(band.y, 49.44, 1e-9);
    EXPECT_DOUBLE_EQ(band.width, 452);
    EXPECT_DOUBLE_EQ(band.height, 44);
    const RectF lanes = StageGeometry::laneArea(m);
    EXPECT_DOUBLE_EQ(lanes.x, 138);
    EXPECT_DOUBLE_EQ(lanes.width, 444);
    EXPECT_NEAR(StageGeometry::tileCornerRadius(m), 23.46, 1e-9);
    EXPECT_DOUBLE_EQ(StageGeometry::rightTile(m).x, 582);
    EXPECT_NEAR(StageGeometry::outboundFigureCentre(m).y, 49.44 / 2 - 2, 1e-9);
    EXPECT_NEAR(StageGeometry::inboundFigureCentre(m).y, (93.44 + 152) / 2 + 4, 1e-9);
}

TEST(StageGeometry, BandPathAtEachAmount) {
    const double top = 49.94, bottom = 92.94, nan = std::numeric_limits<double>::quiet_NaN();
    struct Row {
        double amount;
        bool edges;
        std::vector<std::vector<PointF>> closed, open;
    };
    const Row rows[] = {
        {1, false, {{{134, 49.44}, {586, 49.44}, {586, 93.44}, {134, 93.44}}}, {}},
        {1, true, {}, {{{137.5, top}, {582.5, top}}, {{137.5, bottom}, {582.5, bottom}}}},
        {0.5, false, {{{247, 49.44}, {473, 49.44}, {473, 93.44}, {247, 93.44}}}, {}},
        {0.5,
         true,
         {},
         {{{247, top}, {473, top}},
          {{247, bottom}, {473, bottom}},
          {{247.5, top}, {247.5, bottom}},
          {{472.5, top}, {472.5, bottom}}}},
        // Past the full band the outline still stops inside the tiles.
        {1.2, true, {}, {{{137.5, top}, {582.5, top}}, {{137.5, bottom}, {582.5, bottom}}}},
        {0.002, false, {}, {}},
        {0.002, true, {}, {}},
        {0, false, {}, {}},
        {-1, true, {}, {}},
        {nan, false, {}, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.amount << (row.edges ? " edges" : " fill"));
        const PathF path = StageGeometry::bandPath(m, row.amount, row.edges);
        ASSERT_EQ(path.closed.size(), row.closed.size());
        ASSERT_EQ(path.open.size(), row.open.size());
        for (std::size_t i = 0; i < row.closed.size(); ++i)
            expectPoints(path.closed[i], row.closed[i]);
        for (std::size_t i = 0; i < row.open.size(); ++i)
            expectPoints(path.open[i], row.open[i]);
    }
}

TEST(StageGeometry, EthernetPortInAHundredSquare) {
    const PathF port = StageGeometry::ethernetPort({0, 0, 100, 100});
    ASSERT_EQ(port.closed.size(), 1u);
    expectPoints(port.closed[0],
                 {{0, 26}, {24, 26}, {24, 0}, {76, 0}, {76, 26}, {100, 26}, {100, 100}, {0, 100}});
    ASSERT_EQ(port.open.size(), 4u);
    const double xs[] = {26, 42, 58, 74};
    for (int i = 0; i < 4; ++i)
        expectPoints(port.open[i], {{xs[i], 26}, {xs[i], 54.12}});
}

}  // namespace
}  // namespace sorvanta
