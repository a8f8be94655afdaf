#include "protocol/udp_receive_coverage.h"

#include <gtest/gtest.h>

#include "record_checks.h"

namespace sorvanta {
namespace {

using namespace testing_support;
using C = UDPReceiveCoverage;
constexpr std::int64_t largest = std::numeric_limits<std::int64_t>::max();

TEST(UDPReceiveCoverageTest, RecordsChecks) {
    C recorded;
    recorded.record(2.0);
    EXPECT_EQ(recorded, (C{1, 0, 0, 2.0, 2.0}));
    EXPECT_TRUE(passes(recorded));
    recorded.record(2.007);
    EXPECT_EQ(recorded, (C{2, 2.007 - 2.0, 1, 2.0, 2.007}));
    EXPECT_TRUE(passes(recorded));

    C exact;
    exact.record(0.0);
    exact.record(0.006);  // exactly 6 ms is not delayed
    EXPECT_EQ(exact, (C{2, 0.006, 0, 0.0, 0.006}));
    exact.record(nan);  // counted, but leaves the longest gap alone
    EXPECT_EQ(exact.checks, 3);
    EXPECT_EQ(exact.maximumGap, 0.006);

    C many;
    for (int i = 0; i <= 15'000; ++i) {
        many.record(i * 0.0005);
    }
    EXPECT_EQ(many.checks, 15'001);
    EXPECT_FALSE(passes(many));

    C full{largest, 1, largest, 0, 1};
    full.record(2);  // saturates rather than overflows
    EXPECT_EQ(full, (C{largest, 1, largest, 0, 2}));
}

TEST(UDPReceiveCoverageTest, Validation) {
    for (C good : {C{}, C{3, 0.5, 2, 0.0, 1.0}, C{3, 0.5 - 1e-10, 2, 0.0, 1.0},
                   C{1, 0, 0, -0.0, 15.0}, C{2, 8.0, 1, 0.0, 8.0}, C{3, 0.0061, 1, 0.0, 0.01}}) {
        EXPECT_TRUE(passes(good)) << encodeRecord(good);
    }
    for (C bad : {
             C{3, 0.4, 2, 0.0, 1.0},      // longest gap below the mean gap
             C{3, 0.006, 1, 0.0, 0.01},   // delayed checks without a long gap
             C{3, 0.0061, 0, 0.0, 0.01},  // a long gap without delayed checks
             C{3, 0.0061, 4, 0.0, 0.01},  // more delayed checks than checks
             C{2, 8.000001, 1, 0.0, 8.000001}, C{-1, 0, 0, {}, {}}, C{2, nan, 1, 0.0, 1.0},
             C{1, 0, 0, -0.001, 1.0}, C{1, 0, 0, 1.0, 15.01},
             C{0, 0, 0, 1.0, {}},  // a first check without a last
             C{1, 0, 0, {}, {}}, C{0, 0.001, 0, {}, {}}, C{1, 0, 0, {}, 1.0},
             C{2, 0.005, 0, 1.0, 0.995},  // last before first
             C{1, 0.001, 0, 1.0, 1.0}     // a gap with one check
         }) {
        EXPECT_FALSE(passes(bad)) << bad.checks << " " << bad.maximumGap;
    }
}

}  // namespace
}  // namespace sorvanta
