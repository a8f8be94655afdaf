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

namespace sorvanta {
namespace {

// Two instances of one service with their host records, as a browser would hold them.
struct HeldRecords {
    const MdnsName type = MdnsName::fromText("_sorvanta._tcp.local");
    const MdnsName desk = MdnsName::fromText("Desk._sorvanta._tcp.local");
    const MdnsName mini = MdnsName::fromText("Mini._sorvanta._tcp.local");
    const MdnsName deskHost = MdnsName::fromText("desk.local");
    std::vector<std::pair<std::string, MdnsRecord>> named{
        {"ptr desk", MdnsRecord::ptr(type, desk, 4500)},
        {"ptr mini", MdnsRecord::ptr(type, mini, 4500)},
        {"srv desk", MdnsRecord::srv(desk, MdnsSrv{0, 0, 4000, deskHost}, 120)},
        {"txt desk", MdnsRecord::txt(desk, {"v=9"}, 4500)},
        {"srv mini", MdnsRecord::srv(mini, MdnsSrv{0, 0, 4001, host}, 120)},
        {"a desk", MdnsRecord::a(deskHost, {169, 254, 1, 1}, 120)},
    };
    MdnsRecordCache cache;

    explicit HeldRecords(MdnsTime at) {
        for (const auto& [what, record] : named) {
            cache.add(record, at);
        }
    }
    // The records whose life was cut short to the doubt window (the shortest TTL held is
    // two minutes).
    std::vector<std::string> doubted(MdnsTime at) const {
        std::vector<std::string> found;
        for (const auto& entry : cache.entries()) {
            if (entry.expires <= at + MdnsRecordCache::doubtWindow + 5s) {
                for (const auto& [what, record] : named) {
                    if (record.sameData(entry.record)) {
                        found.push_back(what);
                    }
                }
            }
        }
        return found;
    }
};

MdnsMessage queryOf(std::vector<MdnsQuestion> questions, std::vector<MdnsRecord> known = {}) {
    MdnsMessage query;
    query.questions = std::move(questions);
    query.answers = std::move(known);
    return query;
}

// Queries of other hosts that a held record answers, heard twice without the answer: the
// record must be heard again within the doubt window. Names match in any letter case, and a
// record the query lists as known with at least half its TTL is not doubted.
TEST(MdnsRecordCacheTest, UnansweredQueriesDoubtTheRecordsTheyAskFor) {
    const MdnsTime start{};
    HeldRecords held(start);
    const auto& type = held.type;
    const auto& desk = held.desk;
    const auto upper = MdnsName::fromText("_SORVANTA._TCP.LOCAL");
    const auto deskUpper = MdnsName::fromText("DESK._Sorvanta._TCP.local");
    auto ask = [](const MdnsName& name, std::uint16_t type, std::uint16_t qclass = mdns::classIn,
                  bool unicast = false) {
        return MdnsQuestion{name, type, qclass, unicast};
    };
    auto flagged = [](MdnsMessage m, std::uint16_t flags) {
        m.flags = flags;
        return m;
    };
    auto probe = [&] {
        auto m = queryOf({ask(desk, mdns::typeAny)});
        m.authorities = {MdnsRecord::srv(desk, MdnsSrv{0, 0, 9, host}, 120)};
        return m;
    };
    struct Case {
        const char* what;
        MdnsMessage query;
        int heard;  // times the same query is heard
        std::vector<std::string> doubted;
    };
    const Case cases[] = {
        {"service type", queryOf({ask(type, mdns::typePtr)}), 2, {"ptr desk", "ptr mini"}},
        {"heard once only", queryOf({ask(type, mdns::typePtr)}), 1, {}},
        {"the same question twice counts once",
         queryOf({ask(type, mdns::typePtr), ask(upper, mdns::typeAny)}),
         1,
         {}},
        {"service type in capitals",
         queryOf({ask(upper, mdns::typePtr)}),
         2,
         {"ptr desk", "ptr mini"}},
        {"one known with its full TTL",
         queryOf({ask(type, mdns::typePtr)}, {MdnsRecord::ptr(type, desk, 4500)}),
         2,
         {"ptr mini"}},
        {"one known, named in other letters",
         queryOf({ask(type, mdns::typePtr)}, {MdnsRecord::ptr(upper, deskUpper, 4500)}),
         2,
         {"ptr mini"}},
        {"one known with under half its TTL",
         queryOf({ask(type, mdns::typePtr)}, {MdnsRecord::ptr(type, desk, 2249)}),
         2,
         {"ptr desk", "ptr mini"}},
        {"one known with exactly half its TTL",
         queryOf({ask(type, mdns::typePtr)}, {MdnsRecord::ptr(type, desk, 2250)}),
         2,
         {"ptr mini"}},
        {"known SRV with its target in capitals",
         queryOf(
             {ask(deskUpper, mdns::typeSrv)},
             {MdnsRecord::srv(desk, MdnsSrv{0, 0, 4000, MdnsName::fromText("DESK.local")}, 120)}),
         2,
         {}},
        {"known SRV on another port",
         queryOf({ask(deskUpper, mdns::typeSrv)},
                 {MdnsRecord::srv(desk, MdnsSrv{0, 0, 4001, held.deskHost}, 120)}),
         2,
         {"srv desk"}},
        {"any type", queryOf({ask(deskUpper, mdns::typeAny)}), 2, {"srv desk", "txt desk"}},
        {"any class", queryOf({ask(desk, mdns::typeTxt, mdns::classAny)}), 2, {"txt desk"}},
        {"another class", queryOf({ask(desk, mdns::typeTxt, 3)}), 2, {}},
        {"another type", queryOf({ask(desk, mdns::typeA)}), 2, {}},
        {"host address",
         queryOf({ask(MdnsName::fromText("Desk.Local"), mdns::typeA)}),
         2,
         {"a desk"}},
        {"a name held nowhere",
         queryOf({ask(MdnsName::fromText("Junk.local"), mdns::typeAny)}),
         2,
         {}},
        {"a unicast answer wanted",
         queryOf({ask(type, mdns::typePtr, mdns::classIn, true)}),
         2,
         {}},
        {"a response",
         flagged(queryOf({ask(type, mdns::typePtr)}), MdnsMessage::responseFlags),
         2,
         {}},
        {"truncated", flagged(queryOf({ask(type, mdns::typePtr)}), 0x0200), 2, {}},
        {"a probe", probe(), 2, {}},
    };
    for (const Case& c : cases) {
        HeldRecords fresh(start);
        for (int i = 0; i < c.heard; ++i) {
            fresh.cache.noteUnanswered(c.query, start + std::chrono::seconds(1 + i));
        }
        EXPECT_EQ(fresh.doubted(start), c.doubted) << c.what;
    }
}

// Lookups find a name in any letter case and keep the order the records arrived in; a
// record named in other letters is the same record, renewed, retired or flushed as such.
TEST(MdnsRecordCacheTest, NamesMatchInAnyLetterCase) {
    const MdnsTime start{};
    HeldRecords held(start);
    auto count = [&](const char* name, std::uint16_t type) {
        return held.cache.find(MdnsName::fromText(name), type).size();
    };
    EXPECT_EQ(count("_SORVANTA._tcp.LOCAL", mdns::typePtr), 2u);
    EXPECT_EQ(count("desk._SORVANTA._tcp.local", mdns::typeAny), 2u);
    EXPECT_EQ(count("desk._sorvanta._tcp.local", mdns::typeTxt), 1u);
    EXPECT_EQ(count("desk._sorvanta._tcp.local", mdns::typeA), 0u);
    EXPECT_EQ(count("desk", mdns::typeAny), 0u);
    const auto ptrs = held.cache.find(held.type, mdns::typePtr);
    ASSERT_EQ(ptrs.size(), 2u);
    EXPECT_EQ(ptrs[0]->record.ptrTarget(), held.desk);
    EXPECT_EQ(ptrs[1]->record.ptrTarget(), held.mini);

    // Renewed: one record, not two.
    const std::size_t size = held.cache.entries().size();
    held.cache.add(MdnsRecord::ptr(MdnsName::fromText("_Sorvanta._TCP.local"),
                                   MdnsName::fromText("DESK._sorvanta._tcp.local"), 4500),
                   start + 10s);
    EXPECT_EQ(held.cache.entries().size(), size);
    // A goodbye in capitals retires it.
    held.cache.add(MdnsRecord::txt(MdnsName::fromText("DESK._SORVANTA._TCP.LOCAL"), {"v=9"}, 0),
                   start + 10s);
    // A cache-flush record in other letters retires the older record of its set.
    auto moved = MdnsRecord::srv(MdnsName::fromText("MINI._sorvanta._tcp.local"),
                                 MdnsSrv{0, 0, 5000, host}, 120);
    moved.cacheFlush = true;
    held.cache.add(moved, start + 10s);
    const auto gone = held.cache.expire(start + 11s);
    ASSERT_EQ(gone.size(), 2u);
    EXPECT_EQ(gone[0].type, mdns::typeTxt);
    EXPECT_EQ(gone[1].srvData()->port, 4001);
    EXPECT_EQ(held.cache.find(held.mini, mdns::typeSrv).size(), 1u);
    EXPECT_EQ(held.cache.find(held.desk, mdns::typeAny).size(), 1u);
}

}  // namespace
}  // namespace sorvanta
