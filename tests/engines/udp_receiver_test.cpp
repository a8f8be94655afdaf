#include "engines/udp_receiver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "protocol/protocol_failure.h"

namespace sorvanta {
namespace {

using D = UDPReceiver::Datagram;

// Sequence s sent at 10 ms intervals, arriving 1 ms later plus `delay`.
D at(std::int64_t s, double delay = 0) {
    const double send = 0.01 * static_cast<double>(s);
    return {s, true, send, send + 0.001 + delay};
}

TEST(UdpReceiverTest, HolesGapsLateArrivalsAndDuplicates) {
    UDPReceiver r;
    for (auto s : {0, 1}) {
        r.record(at(s));
    }
    r.record(at(5, 0.0006));  // queue delay 0.6 ms: bin 2
    EXPECT_EQ(r.holes[2], 3);
    ASSERT_EQ(r.gaps.size(), 1u);
    EXPECT_EQ(r.gaps[0], (UDPReceiver::Gap{2, 5, 2}));
    r.record({3, true, 0.03, 0.06});
    EXPECT_EQ(r.outOfOrder, 1);
    EXPECT_EQ(r.holes[2], 2);
    r.record({5, true, 0.05, 0.07});
    EXPECT_EQ(r.duplicates, 1);
    EXPECT_EQ(r.unique, 4);
    EXPECT_EQ(r.highest, 5);
    EXPECT_EQ(r.previous->arrival, 0.06);  // a duplicate changes nothing else
    EXPECT_EQ(r.gaps.size(), 1u);
}

// Each datagram carries the socket's drop count from when it was queued: a hole is put down
// to the queue only as far as the entries dropped between the datagram before it and the one
// after can hold, and what they cannot hold stays the link's.
TEST(UdpReceiverTest, HolesArePutDownToTheDropsCountedAroundThem) {
    struct Row {
        const char* name;
        std::vector<std::pair<std::int64_t, std::int64_t>> arrivals;  // sequence, drop count
        std::int64_t queueHoles, linkHoles;
        std::size_t gaps;
    } rows[] = {
        {"no drops: every hole is the link's", {{0, 0}, {1, 0}, {2, 0}, {5, 0}, {6, 0}}, 0, 2, 1},
        // A coalesced run dropped as one entry: the whole hole is the queue's.
        {"one entry, a run of three", {{0, 0}, {1, 0}, {5, 1}, {6, 1}}, 3, 0, 0},
        {"three entries, three datagrams", {{0, 0}, {1, 0}, {5, 3}, {6, 3}}, 3, 0, 0},
        {"two holes, each with its own entry", {{0, 0}, {3, 1}, {4, 1}, {8, 2}}, 5, 0, 0},
        // Entries spent on one hole never explain the next.
        {"more entries than the hole", {{0, 0}, {1, 0}, {3, 5}, {4, 5}, {6, 5}}, 1, 1, 1},
        {"a later hole without a new drop", {{0, 0}, {1, 0}, {3, 1}, {4, 1}, {8, 1}}, 1, 3, 1},
        {"a first hole the queue dropped", {{4, 2}, {5, 2}}, 4, 0, 0},
        // Past what its entries can hold, the rest of a hole is the link's.
        {"a hole longer than one entry holds", {{0, 0}, {101, 1}}, 64, 36, 1},
        // Only the datagram that moves the highest sequence on marks where drops begin; a late
        // or duplicate one in between leaves them to the next hole.
        {"a late datagram in between", {{0, 0}, {1, 0}, {3, 0}, {2, 1}, {5, 1}}, 1, 0, 1},
        {"a duplicate in between", {{0, 0}, {1, 0}, {1, 1}, {3, 1}}, 1, 0, 0},
        {"a count that goes back", {{0, 0}, {1, 2}, {4, 1}}, 0, 2, 1},
    };
    for (const auto& row : rows) {
        UDPReceiver r;
        double arrival = 0;
        for (const auto& [s, drops] : row.arrivals) {
            arrival += 0.01;
            r.record({s, true, 0.01 * static_cast<double>(s), arrival, drops});
        }
        std::int64_t binned = 0;
        for (auto h : r.holes) {
            binned += h;
        }
        EXPECT_EQ(r.queueDropHoles, row.queueHoles) << row.name;
        EXPECT_EQ(binned, row.linkHoles) << row.name;
        EXPECT_EQ(r.gaps.size(), row.gaps) << row.name;
    }
}

// The tail: only entries dropped after the highest datagram was queued can explain it, each
// as far as it holds.
TEST(UdpReceiverTest, ATailIsPutDownToTheDropsCountedAfterTheLastDatagram) {
    struct Row {
        const char* name;
        std::int64_t lastDrops;  // the count stamped on the highest datagram, 9
        std::int64_t endDrops;   // the socket's count at the end
        std::int64_t missing;    // datagrams the sender sent after 9
        std::int64_t queued;
    } rows[] = {
        {"no drops", 0, 0, 5, 0},
        {"drops before the last datagram only", 3, 3, 5, 0},
        {"one entry after it", 3, 4, 5, 5},
        {"one entry, a longer tail", 0, 1, 100, 64},
        {"two entries, a longer tail", 0, 2, 100, 100},
        {"a count that goes back", 3, 1, 5, 0},
    };
    for (const auto& row : rows) {
        UDPReceiver r;
        for (std::int64_t s = 0; s < 10; ++s) {
            auto d = at(s);
            d.queueDrops = s == 9 ? row.lastDrops : 0;
            r.record(d);
        }
        r.noteQueueDrops(row.endDrops);
        EXPECT_EQ(r.queueTail(row.missing), row.queued) << row.name;
        EXPECT_EQ(r.queueTail(0), 0) << row.name;
    }
}

TEST(UdpReceiverTest, RefusalsLeaveItUnchanged) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    UDPReceiver r;
    r.record(at(1));
    const auto before = r.unique;
    for (const D& d : {D{2, false, 0.02, 1}, D{2, true, -0.1, 1}, D{2, true, inf, 1},
                       D{2, true, nan, 1}, D{3'000'000, true, 0.02, 1}, D{-1, true, 0.02, 1},
                       D{2, true, 0.02, inf}, D{2, true, 0.02, 0.0105}}) {
        EXPECT_THROW(r.record(d), ProtocolFailure) << d.sequence;
    }
    EXPECT_EQ(r.unique, before);
    EXPECT_EQ(r.highest, 1);
    EXPECT_THROW(UDPReceiver{}.record(D{0, true, 0, -0.5}), ProtocolFailure);
    UDPReceiver fresh;
    fresh.record(D{2'999'999, true, -0.0, 0});
    EXPECT_EQ(fresh.holes[0], 2'999'999);
}

TEST(UdpReceiverTest, TimingReasons) {
    struct Row {
        const char* name;
        std::vector<D> datagrams;
        std::optional<std::string> reason;
    } rows[] = {
        {"first datagram", {{0, true, 100.0, 0.0}}, std::nullopt},
        {"span within planned + 2 s", {{0, true, 1.0, 1.0}, {1, true, 6.0, 6.0}}, std::nullopt},
        {"span beyond planned + 2 s",
         {{0, true, 1.0, 1.0}, {1, true, 6.01, 6.01}},
         "Implausible submission timestamp span."},
        {"send interval 10 s off arrival",
         {{0, true, 0.0, 1.0}, {1, true, 0.0, 11.5}},
         "Invalid timing arithmetic."},
    };
    for (const auto& row : rows) {
        UDPReceiver r;
        for (const auto& d : row.datagrams) {
            r.record(d);
        }
        EXPECT_EQ(r.timingReason, row.reason) << row.name;
    }
}

TEST(UdpReceiverTest, JitterAndHighRuns) {
    UDPReceiver r;
    r.planned = 100;
    const auto every100ms = [](std::int64_t s, double delay) {
        return D{s, true, 0.1 * static_cast<double>(s), 0.1 * static_cast<double>(s) + delay};
    };
    // Alternating 0 and 40 ms of extra transit: |D| is 40 ms every datagram.
    for (std::int64_t s = 0; s < 60; ++s) {
        r.record(every100ms(s, s % 2 ? 0.04 : 0.0));
    }
    EXPECT_NEAR(r.jitter, 0.04 * (1 - std::pow(15.0 / 16, 59)), 1e-12);
    EXPECT_EQ(r.maximumJitter, r.jitter);
    EXPECT_GT(r.sustainedHigh, 0);
    EXPECT_EQ(r.sustainedHigh, r.currentHigh);
    EXPECT_EQ(r.highSeconds, r.currentHigh);
    // Steady arrivals bring it back below 10 ms and end the run.
    for (std::int64_t s = 60; s < 200; ++s) {
        r.record(every100ms(s, 0.04));
    }
    EXPECT_LT(r.jitter, 0.01);
    EXPECT_EQ(r.currentHigh, 0);
    EXPECT_GT(r.sustainedHigh, 0);
}

TEST(UdpReceiverTest, HoleBins) {
    const std::pair<double, std::size_t> rows[] = {
        {0.00024, 0}, {0.00025, 1},  {1.0, 128},
        {0.0, 0},     {-1.0, 0},     {std::numeric_limits<double>::infinity(), 0},
        {0.032, 128}, {0.03199, 127}};
    for (const auto& [delay, bin] : rows) {
        EXPECT_EQ(UDPReceiver::holeBin(delay), bin) << delay;
    }
}

}  // namespace
}  // namespace sorvanta
