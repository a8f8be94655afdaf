#include "protocol/udp_queue_delay.h"

#include <gtest/gtest.h>

#include <limits>

#include "protocol/protocol_failure.h"
#include "protocol/record_coding.h"

namespace sorvanta {
namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

bool passes(const UDPQueueDelay& histogram) {
    try {
        histogram.validate();
        return true;
    } catch (const ProtocolFailure& failure) {
        EXPECT_EQ(failure, ProtocolFailure::malformed);
        return false;
    }
}

std::vector<std::int64_t> onlyIn(std::size_t bucket) {
    std::vector<std::int64_t> buckets(UDPQueueDelay::bucketCount, 0);
    buckets[bucket] = 1;
    return buckets;
}

TEST(UDPQueueDelayTest, NewHistogramIsEmptyAndValid) {
    UDPQueueDelay histogram;
    EXPECT_EQ(histogram.samples, 0);
    EXPECT_EQ(histogram.buckets, std::vector<std::int64_t>(7, 0));
    EXPECT_TRUE(passes(histogram));
    EXPECT_EQ(decodeRecord<UDPQueueDelay>(encodeRecord(histogram)), histogram);
}

TEST(UDPQueueDelayTest, DelaysGoToTheirBuckets) {
    const std::pair<double, std::size_t> cases[] = {
        {0.0, 0},   {-0.0, 0},   {0.0004999, 0}, {0.0005, 1}, {0.001, 2}, {0.002, 3},
        {0.004, 4}, {0.0079, 4}, {0.008, 5},     {0.016, 6},  {10.0, 6},
    };
    for (const auto& [delay, bucket] : cases) {
        UDPQueueDelay histogram;
        histogram.add(delay);
        EXPECT_EQ(histogram.samples, 1) << delay;
        EXPECT_EQ(histogram.buckets, onlyIn(bucket)) << delay;
        EXPECT_EQ(histogram.maximum, delay);
        EXPECT_TRUE(passes(histogram)) << delay;
    }
}

TEST(UDPQueueDelayTest, IgnoresWhatItCannotCount) {
    UDPQueueDelay histogram;
    for (double bad : {10.000001, -0.000001, nan, infinity, -infinity}) {
        histogram.add(bad);
    }
    EXPECT_EQ(histogram, UDPQueueDelay{});

    histogram.add(0.003);
    histogram.add(0.001);
    EXPECT_EQ(histogram.samples, 2);
    EXPECT_DOUBLE_EQ(histogram.total, 0.004);
    EXPECT_EQ(histogram.maximum, 0.003);
    EXPECT_TRUE(passes(histogram));

    // A histogram with the wrong number of buckets (as decoded from a peer) is never
    // written past its end.
    UDPQueueDelay shortHistogram;
    shortHistogram.buckets.resize(3);
    shortHistogram.add(0.02);
    EXPECT_EQ(shortHistogram.samples, 0);
}

TEST(UDPQueueDelayTest, StopsCountingAtTheSampleLimit) {
    UDPQueueDelay histogram;
    for (std::int64_t i = 0; i < UDPQueueDelay::maximumSamples; ++i) {
        histogram.add(0.0001);
    }
    histogram.add(0.0001);
    EXPECT_EQ(histogram.samples, 3'000'000);
    EXPECT_EQ(histogram.buckets[0], 3'000'000);
    EXPECT_TRUE(passes(histogram));
}

TEST(UDPQueueDelayTest, ValidationRefusesInconsistentHistograms) {
    UDPQueueDelay histogram;
    histogram.add(0.001);
    histogram.add(0.02);

    auto oneShort = histogram;
    oneShort.samples = 3;
    EXPECT_FALSE(passes(oneShort));
    for (std::size_t count : {6u, 8u}) {
        auto wrongSize = histogram;
        wrongSize.buckets.resize(count, 0);
        EXPECT_FALSE(passes(wrongSize)) << count;
    }
    auto negativeBucket = histogram;
    negativeBucket.buckets[0] = -1;
    negativeBucket.buckets[1] = 2;
    EXPECT_FALSE(passes(negativeBucket));

    auto tooMany = UDPQueueDelay{};
    tooMany.samples = 3'000'001;
    tooMany.buckets[6] = 3'000'001;
    tooMany.total = 1;
    tooMany.maximum = 1;
    EXPECT_FALSE(passes(tooMany));

    // Seven huge buckets must not overflow the sum.
    auto huge = UDPQueueDelay{};
    huge.buckets.assign(7, std::numeric_limits<std::int64_t>::max());
    EXPECT_FALSE(passes(huge));

    for (double bad : {-0.1, nan, infinity}) {
        auto badTotal = histogram;
        badTotal.total = bad;
        EXPECT_FALSE(passes(badTotal)) << bad;
    }
    for (double bad : {10.000001, -0.1, nan, infinity}) {
        auto badMaximum = histogram;
        badMaximum.maximum = bad;
        EXPECT_FALSE(passes(badMaximum)) << bad;
    }

    auto empty = UDPQueueDelay{};
    empty.total = -0.0;
    EXPECT_TRUE(passes(empty));
    empty.total = 0.001;
    EXPECT_FALSE(passes(empty));
    empty.total = 0;
    empty.maximum = 0.001;
    EXPECT_FALSE(passes(empty));
}

TEST(UDPQueueDelayTest, RoundTripsThroughJson) {
    UDPQueueDelay histogram;
    for (double delay : {0.0, 0.0007, 0.0015, 0.003, 0.005, 0.012, 2.5}) {
        histogram.add(delay);
    }
    EXPECT_EQ(decodeRecord<UDPQueueDelay>(encodeRecord(histogram)), histogram);
    EXPECT_THROW(decodeRecord<UDPQueueDelay>(R"({"samples":0,"total":0,"maximum":0})"),
                 ProtocolFailure);
}

}  // namespace
}  // namespace sorvanta
