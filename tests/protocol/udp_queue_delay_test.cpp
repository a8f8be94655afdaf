#include "protocol/udp_queue_delay.h"

#include <gtest/gtest.h>

#include "record_checks.h"

namespace sorvanta {
namespace {

using namespace testing_support;
using Q = UDPQueueDelay;

TEST(UDPQueueDelayTest, AddFillsTheBucketOfEachDelay) {
    const std::pair<double, std::size_t> cases[] = {{-0.0, 0},  {0.0004999, 0}, {0.0005, 1},
                                                    {0.001, 2}, {0.002, 3},     {0.0079, 4},
                                                    {0.008, 5}, {0.016, 6},     {10.0, 6}};
    for (const auto& [delay, bucket] : cases) {
        Q histogram;
        histogram.add(delay);
        std::vector<std::int64_t> expected(Q::bucketCount, 0);
        expected[bucket] = 1;
        EXPECT_EQ(histogram, (Q{1, delay, delay, expected})) << delay;
        EXPECT_TRUE(passes(histogram));
    }
}

TEST(UDPQueueDelayTest, AddIgnoresWhatItCannotCount) {
    Q histogram;
    for (double bad : {10.000001, -0.000001, nan, infinity, -infinity}) {
        histogram.add(bad);
    }
    EXPECT_EQ(histogram, Q{});
    for (std::int64_t i = 0; i <= Q::maximumSamples; ++i) {
        histogram.add(0.0001);
    }
    EXPECT_EQ(histogram.samples, 3'000'000);
    EXPECT_EQ(histogram.buckets[0], 3'000'000);
    EXPECT_TRUE(passes(histogram));
    // A histogram decoded with the wrong number of buckets is never written past its end.
    Q shortHistogram;
    shortHistogram.buckets.resize(3);
    shortHistogram.add(0.02);
    EXPECT_EQ(shortHistogram.samples, 0);
}

TEST(UDPQueueDelayTest, Validation) {
    Q histogram;
    histogram.add(0.001);
    histogram.add(0.02);
    expectValidity<Q>(histogram,
                      {[](Q& q) { q.samples = 3; },           // buckets add up to one less
                       [](Q& q) { q.buckets.resize(6); },     //
                       [](Q& q) { q.buckets.resize(8, 0); },  //
                       [](Q& q) { q.buckets[0] = -1, q.buckets[1] = 2; },
                       [](Q& q) { q.samples = q.buckets[6] = 3'000'001; },
                       [](Q& q) { q.buckets.assign(7, std::numeric_limits<std::int64_t>::max()); },
                       [](Q& q) { q.total = -0.1; }, [](Q& q) { q.total = infinity; },
                       [](Q& q) { q.maximum = 10.000001; }, [](Q& q) { q.maximum = nan; }},
                      false);
    expectValidity<Q>(Q{}, {[](Q& q) { q.total = 0.001; }, [](Q& q) { q.maximum = 0.001; }}, false);
    EXPECT_TRUE(passes(Q{0, -0.0, 0.0, std::vector<std::int64_t>(7, 0)}));
}

}  // namespace
}  // namespace sorvanta
