#include <gtest/gtest.h>

#include <limits>

#include "engines/bulk_transfer_deadlines.h"
#include "engines/payload_generator.h"

namespace sorvanta {
namespace {

TEST(PayloadGeneratorTest, SeedOneGivesTheKnownBytesAndSeedsAreNeverZero) {
    const auto payload = makePayload(1);
    ASSERT_EQ(payload->size(), payloadSize);
    const std::vector<std::uint8_t> first(payload->begin(), payload->begin() + 8);
    EXPECT_EQ(first, (std::vector<std::uint8_t>{172, 179, 153, 205, 180, 230, 52, 237}));
    EXPECT_EQ(*makePayload(1, 8), first);
    EXPECT_NE(*makePayload(2, 8), first);
    for (int i = 0; i < 100; ++i) {
        EXPECT_NE(drawPayloadSeed(), 0u);
    }
}

TEST(BulkDeadlinesTest, FirstPassedDeadlineOnTheTick) {
    using K = BulkDeadlines::Kind;
    using F = BulkDeadlines::Facts;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    auto facts = [](auto change) {
        F f;
        change(f);
        return f;
    };
    const F sending =
        facts([](F& f) { f.transferring = true, f.bulkStarted = 1.0, f.lastProgress = 10.0; });
    F barrierDone = sending;
    barrierDone.receiving = barrierDone.barrierControlled = barrierDone.resultProduced = true;
    F selfDone = barrierDone;
    selfDone.barrierControlled = false;
    selfDone.transferring = false;
    const F accepted = facts([](F& f) { f.receiving = true, f.acceptedAt = 1.0; });
    const F dialled = facts([](F& f) { f.acceptedAt = 1.0; });
    const F verified = facts([](F& f) { f.verificationComplete = true; });
    const F bulkOnly = facts([](F& f) { f.transferring = true, f.bulkStarted = 1.0; });
    const F waiting{};
    struct Row {
        const char* name;
        F facts;
        double now;
        std::optional<K> expected;
    } rows[] = {
        {"total at 30.0", verified, 30.0, K::total},
        {"not at 29.99", verified, 29.99, std::nullopt},
        {"NaN time", verified, nan, K::total},
        {"bulk at 16.0 from 1.0", sending, 16.0, K::activeBulk},
        {"bulk beats progress", bulkOnly, 16.0, K::activeBulk},
        {"progress exactly 5 s old", sending, 15.0, K::progress},
        {"progress 4.99 s old", sending, 14.99, std::nullopt},
        {"barrier receiver keeps the watchdog after its result", barrierDone, 15.5, K::progress},
        {"self-starting receiver after its result", selfDone, 15.5, std::nullopt},
        {"preparation at 10.0", waiting, 10.0, K::preparation},
        {"verified check has no preparation limit", verified, 12.0, std::nullopt},
        {"preamble 3 s after accept", accepted, 4.0, K::preamble},
        {"preamble 2.99 s after accept", accepted, 3.99, std::nullopt},
        {"preparation before preamble", accepted, 10.0, K::preparation},
        {"sender has no preamble limit", dialled, 9.0, std::nullopt},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(BulkDeadlines::expired(row.facts, row.now), row.expected) << row.name;
    }
    EXPECT_EQ(BulkDeadlines::failure(K::preparation, std::string("no route")),
              (BulkDeadlines::Failure{"Data preparation timed out. Waiting: no route",
                                      RunEndCause::connection}));
    EXPECT_EQ(BulkDeadlines::failure(K::progress).message, "No data progress for five seconds.");
}

}  // namespace
}  // namespace sorvanta
