#include "protocol/udp_receive_coverage.h"

#include <gtest/gtest.h>

#include <limits>

#include "protocol/protocol_failure.h"
#include "protocol/record_coding.h"

namespace sorvanta {
namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

bool passes(const UDPReceiveCoverage& coverage) {
    try {
        coverage.validate();
        return true;
    } catch (const ProtocolFailure& failure) {
        EXPECT_EQ(failure, ProtocolFailure::malformed);
        return false;
    }
}

UDPReceiveCoverage coverage(std::int64_t checks, double maximumGap, std::int64_t delayed,
                            std::optional<double> first, std::optional<double> last) {
    return {checks, maximumGap, delayed, first, last};
}

TEST(UDPReceiveCoverageTest, RecordsChecks) {
    UDPReceiveCoverage recorded;
    EXPECT_TRUE(passes(recorded));

    recorded.record(2.0);
    EXPECT_EQ(recorded, coverage(1, 0, 0, 2.0, 2.0));
    EXPECT_TRUE(passes(recorded));

    recorded.record(2.007);
    EXPECT_EQ(recorded, coverage(2, 2.007 - 2.0, 1, 2.0, 2.007));
    EXPECT_TRUE(passes(recorded));

    UDPReceiveCoverage exact;
    exact.record(0.0);
    exact.record(0.006);
    EXPECT_EQ(exact.delayedChecks, 0);
    EXPECT_EQ(exact.maximumGap, 0.006);
    EXPECT_TRUE(passes(exact));

    // A time that is not a number leaves the longest gap alone but is still counted.
    exact.record(nan);
    EXPECT_EQ(exact.checks, 3);
    EXPECT_EQ(exact.maximumGap, 0.006);
    EXPECT_FALSE(passes(exact));
}

TEST(UDPReceiveCoverageTest, CountsEveryCallButRefusesTooMany) {
    UDPReceiveCoverage recorded;
    for (int i = 0; i <= 15'000; ++i) {
        recorded.record(i * 0.0005);
    }
    EXPECT_EQ(recorded.checks, 15'001);
    EXPECT_FALSE(passes(recorded));

    // Counters saturate rather than overflow.
    auto full = coverage(std::numeric_limits<std::int64_t>::max(), 1, 0, 0, 1);
    full.delayedChecks = full.checks;
    full.record(2);
    EXPECT_EQ(full.checks, std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(full.delayedChecks, std::numeric_limits<std::int64_t>::max());
}

TEST(UDPReceiveCoverageTest, LongestGapAtLeastTheMeanGap) {
    EXPECT_FALSE(passes(coverage(3, 0.4, 2, 0.0, 1.0)));
    EXPECT_TRUE(passes(coverage(3, 0.5, 2, 0.0, 1.0)));
    EXPECT_TRUE(passes(coverage(3, 0.5 - 1e-10, 2, 0.0, 1.0)));  // within the tolerance
}

TEST(UDPReceiveCoverageTest, DelayedChecksAgreeWithTheLongestGap) {
    EXPECT_FALSE(passes(coverage(3, 0.006, 1, 0.0, 0.01)));
    EXPECT_FALSE(passes(coverage(3, 0.0061, 0, 0.0, 0.01)));
    EXPECT_TRUE(passes(coverage(3, 0.0061, 1, 0.0, 0.01)));
    EXPECT_FALSE(passes(coverage(3, 0.0061, 4, 0.0, 0.01)));  // more delayed than checks
}

TEST(UDPReceiveCoverageTest, ValidationBounds) {
    EXPECT_TRUE(passes(coverage(1, 0, 0, -0.0, 15.0)));
    EXPECT_TRUE(passes(coverage(2, 8.0, 1, 0.0, 8.0)));
    EXPECT_FALSE(passes(coverage(2, 8.000001, 1, 0.0, 8.000001)));
    EXPECT_FALSE(passes(coverage(-1, 0, 0, std::nullopt, std::nullopt)));
    EXPECT_FALSE(passes(coverage(1, 0, -1, 1.0, 1.0)));
    for (double bad : {nan, infinity, -0.001}) {
        EXPECT_FALSE(passes(coverage(2, bad, 1, 0.0, 1.0))) << bad;
        EXPECT_FALSE(passes(coverage(1, 0, 0, bad, 1.0))) << bad;
        EXPECT_FALSE(passes(coverage(1, 0, 0, 1.0, bad))) << bad;
    }
    EXPECT_FALSE(passes(coverage(1, 0, 0, 1.0, 15.01)));

    // Without a last check nothing may have been recorded.
    EXPECT_FALSE(passes(coverage(0, 0, 0, 1.0, std::nullopt)));
    EXPECT_FALSE(passes(coverage(1, 0, 0, std::nullopt, std::nullopt)));
    EXPECT_FALSE(passes(coverage(0, 0.001, 0, std::nullopt, std::nullopt)));
    // With a last check there is a first one no later.
    EXPECT_FALSE(passes(coverage(1, 0, 0, std::nullopt, 1.0)));
    EXPECT_FALSE(passes(coverage(0, 0, 0, 1.0, 1.0)));
    EXPECT_FALSE(passes(coverage(2, 0.005, 0, 1.0, 0.995)));
    EXPECT_FALSE(passes(coverage(1, 0.001, 0, 1.0, 1.0)));
}

TEST(UDPReceiveCoverageTest, RoundTripsThroughJson) {
    UDPReceiveCoverage empty;
    EXPECT_EQ(encodeRecord(empty), R"({"checks":0,"delayedChecks":0,"maximumGap":0.0})");
    EXPECT_EQ(decodeRecord<UDPReceiveCoverage>(encodeRecord(empty)), empty);
    auto recorded = coverage(3, 0.0061, 1, 0.25, 0.2561);
    EXPECT_EQ(decodeRecord<UDPReceiveCoverage>(encodeRecord(recorded)), recorded);
}

}  // namespace
}  // namespace sorvanta
