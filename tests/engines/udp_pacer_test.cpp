#include "engines/udp_pacer.h"

#include <gtest/gtest.h>

#include <limits>

#include "protocol/protocol_failure.h"

namespace sorvanta {
namespace {

TEST(UdpPacerTest, RateFromCapacity) {
    struct Row {
        double capacity;
        double packetsPerSecond;
        std::int64_t burst, catchUp;
        bool capped;
    } rows[] = {
        {1e6, 78.125, 1, 1, false},
        {1e8, 7812.5, 7, 16, false},
        {1e9, 78125, 16, 16, false},
        {20e9, 1e6, 16, 16, true},
        {std::numeric_limits<double>::denorm_min(), 0, 1, 1, false},
    };
    for (const auto& row : rows) {
        const UDPPacer p(row.capacity);
        EXPECT_DOUBLE_EQ(p.packetsPerSecond, row.packetsPerSecond) << row.capacity;
        EXPECT_EQ(p.burst, row.burst) << row.capacity;
        EXPECT_EQ(p.catchUp, row.catchUp) << row.capacity;
        EXPECT_EQ(p.capped, row.capped) << row.capacity;
    }
    for (double bad : {0.0, -1.0, std::numeric_limits<double>::infinity(),
                       std::numeric_limits<double>::quiet_NaN()}) {
        EXPECT_THROW(UDPPacer{bad}, ProtocolFailure) << bad;
    }
}

TEST(UdpPacerTest, DueSlots) {
    // 1 Gbit/s: 78,125 datagrams a second, 12.8 µs a slot, catch-up 16.
    const double slot = 1 / 78125.0;
    struct Tick {
        std::int64_t inFlight, attempted;
        double now;
        std::int64_t due, discarded, gaps;
    };
    struct Row {
        const char* name;
        std::vector<Tick> ticks;
    } rows[] = {
        {"first tick owes one slot", {{0, 0, 1.0, 1, 0, 0}}},
        {"a burst later owes sixteen", {{0, 0, 1.0, 1, 0, 0}, {0, 1, 1.0 + 16.5 * slot, 16, 0, 0}}},
        {"a late tick drops beyond catch-up",
         {{0, 0, 1.0, 1, 0, 0}, {0, 1, 1.0015 + 0.5 * slot, 16, 101, 1}}},
        {"full flight drops every owed slot",
         {{128, 0, 1.0, 0, 1, 0}, {127, 0, 1.0 + 10.5 * slot, 1, 10, 0}}},
        {"ticks 0.5 ms apart count no gap", {{0, 0, 1.0, 1, 0, 0}, {0, 1, 1.0005, 16, 23, 0}}},
        {"clock backwards", {{0, 0, 1.0, 1, 0, 0}, {0, 1, 0.5, 0, 0, 0}}},
        {"bad counts leave it unchanged",
         {{129, 0, 1.0, 0, 0, 0},
          {0, 3'000'000, 1.0, 0, 0, 0},
          {-1, 0, 1.0, 0, 0, 0},
          {0, 0, 1.0, 1, 0, 0}}},
        {"last attempts",
         {{0, 2'999'990, 1.0, 1, 0, 0}, {0, 2'999'991, 1.0 + 16.5 * slot, 9, 7, 0}}},
    };
    for (const auto& row : rows) {
        UDPPacer p(1e9);
        for (std::size_t i = 0; i < row.ticks.size(); ++i) {
            const auto& t = row.ticks[i];
            EXPECT_EQ(p.due(t.inFlight, t.attempted, t.now), t.due) << row.name << " #" << i;
            EXPECT_EQ(p.discarded, t.discarded) << row.name << " #" << i;
            EXPECT_EQ(p.gaps, t.gaps) << row.name << " #" << i;
        }
    }
}

TEST(UdpPacerTest, ScheduleAfterDropAndGap) {
    UDPPacer p(1e9);
    const double slot = 1 / 78125.0;
    ASSERT_EQ(p.due(0, 0, 1.0), 1);
    EXPECT_DOUBLE_EQ(*p.next, 1.0 + slot);
    ASSERT_EQ(p.due(128, 1, 1.0015), 0);
    // The schedule restarts one slot after the tick; the dropped slots are never sent.
    EXPECT_DOUBLE_EQ(*p.next, 1.0015 + slot);
    EXPECT_GE(p.maximumGap, 0.0015);
    EXPECT_EQ(p.gaps, 1);
}

}  // namespace
}  // namespace sorvanta
