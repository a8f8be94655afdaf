#include "engines/receive_low_water.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace sorvanta {
namespace {

TEST(ReceiveLowWater, FollowsTheRecentRateWithinItsBounds) {
    constexpr auto ceiling = ReceiveLowWater::ceiling;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char* name;
        std::uint64_t bytes;
        double seconds;
        std::size_t mark;
    } cases[] = {
        {"nothing arrived: every byte wakes", 0, 0.25, 1},
        {"no interval yet", 1'000'000, 0, 1},
        {"an interval that is not a number", 1'000'000, nan, 1},
        {"a negative interval", 1'000'000, -0.25, 1},
        {"a trickle below one byte per lag", 20, 0.25, 1},
        {"10 Mbit/s: ten milliseconds' worth", 312'500, 0.25, 12'500},
        {"100 Mbit/s: ten milliseconds' worth", 3'125'000, 0.25, 125'000},
        {"1 Gbit/s: held at the ceiling", 31'250'000, 0.25, ceiling},
        {"a total that cannot be a rate", std::numeric_limits<std::uint64_t>::max(), 1e-9,
         ceiling},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ReceiveLowWater::mark(c.bytes, c.seconds), c.mark);
    }
}

}  // namespace
}  // namespace sorvanta
