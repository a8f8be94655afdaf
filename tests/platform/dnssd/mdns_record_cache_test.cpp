#include "platform/dnssd/mdns_record_cache.h"

#include <gtest/gtest.h>

namespace sorvanta {
namespace {

using namespace std::chrono_literals;

const MdnsName instance = MdnsName::fromText("Mac._sorvanta._tcp.local");
const MdnsName host = MdnsName::fromText("h.local");

MdnsRecord srvWithPort(std::uint16_t port, std::uint32_t ttl) {
    return MdnsRecord::srv(instance, MdnsSrv{0, 0, port, host}, ttl);
}

// The seconds after `from` at which the cache reports a refresh point, scanned every
// 10 ms up to `to`; expired records are dropped as the scan goes.
std::vector<double> refreshTimes(MdnsRecordCache& cache, MdnsTime from, MdnsTime to) {
    std::vector<double> points;
    for (auto t = from; t <= to; t += 10ms) {
        if (!cache.takeRefreshDue(t).empty()) {
            points.push_back(std::chrono::duration<double>(t - from).count());
        }
        cache.expire(t);
    }
    return points;
}

TEST(MdnsRecordCacheTest, RefreshPointsComeAtEightyToNinetyFivePercentOfTheLatestTtl) {
    struct Case {
        const char* what;
        std::uint32_t ttl;
        std::chrono::milliseconds renewAt;  // zero: never renewed
        std::uint32_t renewedTtl;
    };
    const Case cases[] = {
        {"never renewed", 100, 0ms, 0},
        {"renewed after its first point", 10, 8500ms, 10},
        {"renewed before any point with a longer TTL", 10, 3s, 20},
        {"renewed after its last point", 10, 9700ms, 4},
    };
    for (const auto& c : cases) {
        MdnsRecordCache cache(7);
        const MdnsTime start{};
        cache.add(srvWithPort(1, c.ttl), start);
        MdnsTime from = start;
        std::uint32_t ttl = c.ttl;
        if (c.renewAt > 0ms) {
            refreshTimes(cache, start, start + c.renewAt - 10ms);
            from = start + c.renewAt;
            ttl = c.renewedTtl;
            cache.add(srvWithPort(1, ttl), from);
            EXPECT_EQ(MdnsRecordCache::remainingTtl(cache.entries()[0], from), ttl) << c.what;
        }
        const auto points = refreshTimes(cache, from, from + std::chrono::seconds(ttl + 1));
        ASSERT_EQ(points.size(), 4u) << c.what;
        const double percent[] = {80, 85, 90, 95};
        for (int i = 0; i < 4; ++i) {
            EXPECT_GE(points[i], ttl * percent[i] / 100 - 0.001) << c.what << " point " << i;
            EXPECT_LE(points[i], ttl * (percent[i] + 2) / 100 + 0.011) << c.what << " point " << i;
        }
        EXPECT_TRUE(cache.entries().empty()) << c.what;  // gone at the end of the TTL
    }
}

TEST(MdnsRecordCacheTest, GoodbyeRemovesTheRecordAfterOneSecondUnlessItIsAnnouncedAgain) {
    MdnsRecordCache cache;
    const MdnsTime start{};
    cache.add(srvWithPort(1, 120), start);
    cache.add(srvWithPort(1, 0), start + 10s);
    EXPECT_TRUE(cache.expire(start + 10s + 900ms).empty());
    EXPECT_TRUE(cache.takeRefreshDue(start + 10s + 900ms).empty());  // no refresh of a goodbye
    EXPECT_EQ(cache.expire(start + 11s).size(), 1u);

    cache.add(srvWithPort(1, 120), start + 20s);
    cache.add(srvWithPort(1, 0), start + 21s);
    cache.add(srvWithPort(1, 120), start + 21s + 500ms);
    EXPECT_TRUE(cache.expire(start + 30s).empty());
    // A goodbye for a record never heard changes nothing.
    cache.add(srvWithPort(9, 0), start + 30s);
    EXPECT_EQ(cache.entries().size(), 1u);
}

TEST(MdnsRecordCacheTest, CacheFlushRetiresOlderRecordsOfTheSameSetOnly) {
    MdnsRecordCache cache;
    const MdnsTime start{};
    cache.add(srvWithPort(1, 120), start);
    auto fresh = srvWithPort(2, 120);
    fresh.cacheFlush = true;
    // Records of one burst (within a second) are kept together.
    cache.add(fresh, start + 500ms);
    EXPECT_EQ(cache.find(instance, mdns::typeSrv).size(), 2u);
    // A later flush retires the old port after the grace second; the new one stays.
    cache.add(fresh, start + 5s);
    EXPECT_EQ(cache.expire(start + 5s + 999ms).size(), 0u);
    const auto gone = cache.expire(start + 6s);
    ASSERT_EQ(gone.size(), 1u);
    EXPECT_EQ(gone[0].srvData()->port, 1);
    EXPECT_EQ(cache.find(instance, mdns::typeAny).size(), 1u);
}

TEST(MdnsRecordCacheTest, HugeTtlsAreCappedAtADay) {
    MdnsRecordCache cache;
    const MdnsTime start{};
    cache.add(srvWithPort(1, 0xFFFFFFFF), start);
    EXPECT_EQ(MdnsRecordCache::remainingTtl(cache.entries()[0], start), MdnsRecordCache::maxTtl);
    EXPECT_EQ(cache.takeRefreshDue(start + 72000s).size(), 1u);
    EXPECT_EQ(cache.expire(start + 86400s).size(), 1u);
}

TEST(MdnsRecordCacheTest, SizeIsBounded) {
    MdnsRecordCache cache;
    for (std::size_t i = 0; i < MdnsRecordCache::maxEntries + 50; ++i) {
        cache.add(srvWithPort(static_cast<std::uint16_t>(i), 120), MdnsTime{});
    }
    EXPECT_EQ(cache.entries().size(), MdnsRecordCache::maxEntries);
}

}  // namespace
}  // namespace sorvanta
