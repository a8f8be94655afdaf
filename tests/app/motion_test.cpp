#include "app/motion.h"

#include <gtest/gtest.h>

namespace sorvanta {
namespace {

TEST(Motion, CurvesKeepTheirEndsAndShape) {
    struct Row {
        CubicBezier curve;
        double progress, value;
    };
    const Row rows[] = {
        {CubicBezier::easeInOut(), 0, 0},     {CubicBezier::easeInOut(), 1, 1},
        {CubicBezier::easeInOut(), 0.5, 0.5}, {CubicBezier::easeInOut(), -3, 0},
        {CubicBezier::easeInOut(), 7, 1},     {CubicBezier::linear(), 0.3, 0.3},
    };
    for (const Row& row : rows)
        EXPECT_NEAR(row.curve.value(row.progress), row.value, 1e-6);
    // Ease-in-out starts slow and ends slow; ease-out starts fast.
    EXPECT_LT(CubicBezier::easeInOut().value(0.1), 0.1);
    EXPECT_GT(CubicBezier::easeInOut().value(0.9), 0.9);
    EXPECT_GT(CubicBezier::easeOut().value(0.1), 0.1);
    const Tween fade{1, 0, 10, 0.3, CubicBezier::easeInOut()};
    EXPECT_EQ(fade.value(9), 1);
    EXPECT_NEAR(fade.value(10.15), 0.5, 1e-6);
    EXPECT_EQ(fade.value(11), 0);
}

TEST(Motion, BandSpringSettlesOnItsTargetAtAnyFrameRate) {
    for (double frame : {1 / 120.0, 1 / 60.0, 1 / 30.0, 0.1}) {
        SCOPED_TRACE(frame);
        Spring spring = Spring::band(0);
        spring.setTarget(1);
        double peak = 0, t = 0;
        while (!spring.settled() && t < 5) {
            peak = std::max(peak, spring.step(frame));
            t += frame;
        }
        EXPECT_TRUE(spring.settled());
        EXPECT_EQ(spring.value(), 1);
        // Damping 0.88 overshoots by a hair and settles within about a second and a half.
        EXPECT_GT(peak, 1.0);
        EXPECT_LT(peak, 1.01);
        EXPECT_LT(t, 1.6);
    }
    Spring spring = Spring::band(0);
    spring.setTarget(1);
    EXPECT_EQ(spring.step(-1), 0);
    spring.snap(0.25);
    EXPECT_TRUE(spring.settled());
}

}  // namespace
}  // namespace sorvanta
