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

// Holes found while the socket's own queue has drops no hole accounts for are put down to
// them, whole, and kept out of the link's bins; the next hole with no new drop is the link's.
TEST(UdpReceiverTest, HolesAfterTheQueuesOwnDropsStayOutOfTheBins) {
    struct Row {
        const char* name;
        std::vector<std::int64_t> dropsBefore;  // the running count, before each of 0 … 9
        std::vector<std::int64_t> missing;      // sequences 0 … 9 that never arrive
        std::int64_t queueHoles, linkHoles, unmatched;
    } rows[] = {
        {"no drops: every hole is the link's", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {3, 4}, 0, 2, 0},
        // A coalesced run dropped as one entry: the whole hole is the queue's.
        {"one entry, a run of three", {0, 0, 0, 0, 0, 1, 1, 1, 1, 1}, {2, 3, 4}, 3, 0, 0},
        // Without coalescing, the other two entries of one hole stay unmatched.
        {"three entries, three datagrams", {0, 0, 0, 0, 0, 3, 3, 3, 3, 3}, {2, 3, 4}, 3, 0, 2},
        // Two coalesced runs dropped apart, both counted before either hole shows.
        {"two runs, two holes", {0, 0, 0, 2, 2, 2, 2, 2, 2, 2}, {1, 2, 5, 6, 7}, 5, 0, 0},
        // Matched drops are spent: a later hole without a new drop is the link's.
        {"a later hole is the link's", {0, 0, 0, 1, 1, 1, 1, 1, 1, 1}, {2, 7}, 1, 1, 0},
        // Seen before their hole is revealed: the datagram after the hole is read in the
        // same batch as the count.
        {"counted ahead of the hole", {0, 0, 2, 2, 2, 2, 2, 2, 2, 2}, {5}, 1, 0, 1},
        {"a count that goes back", {0, 0, 2, 1, 1, 1, 1, 1, 1, 1}, {4, 5}, 2, 0, 1},
    };
    for (const auto& row : rows) {
        UDPReceiver r;
        for (std::int64_t s = 0; s < 10; ++s) {
            if (std::find(row.missing.begin(), row.missing.end(), s) == row.missing.end()) {
                r.noteQueueDrops(row.dropsBefore[static_cast<std::size_t>(s)]);
                r.record(at(s));
            }
        }
        std::int64_t binned = 0;
        for (auto h : r.holes) {
            binned += h;
        }
        EXPECT_EQ(r.queueDropHoles, row.queueHoles) << row.name;
        EXPECT_EQ(binned, row.linkHoles) << row.name;
        EXPECT_EQ(r.gaps.size(), row.linkHoles > 0 ? 1u : 0u) << row.name;
        EXPECT_EQ(r.unmatchedQueueDrops, row.unmatched) << row.name;
    }
}

// The socket's running count never goes back, so a reader that notes it only before a
// datagram that reveals a hole, and once at the end, puts every hole down exactly as one
// that notes it before every datagram.
TEST(UdpReceiverTest, DropsNotedOnlyWhereAHoleShowsSplitTheHolesAlike) {
    struct Row {
        const char* name;
        std::vector<std::int64_t> dropsBefore;  // the running count, before each of 0 … 11
        std::vector<std::int64_t> missing;      // sequences 0 … 11 that never arrive
        std::int64_t endDrops;                  // the count once all has arrived
        std::int64_t queueHoles, linkHoles, unmatched;
    } rows[] = {
        {"no drops", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {3, 4}, 0, 0, 2, 0},
        // Noted by the eager reader three datagrams before the hole shows.
        {"counted well ahead of the hole",
         {0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1},
         {6},
         1,
         1,
         0,
         0},
        // A drop counted between two holes belongs to the second, whichever reader.
        {"a drop between two holes",
         {0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1},
         {2, 8},
         1,
         1,
         1,
         0},
        {"two drops, one hole: one stays unmatched",
         {0, 0, 0, 2, 2, 2, 2, 2, 2, 2, 2, 2},
         {4, 5},
         2,
         2,
         0,
         1},
        {"a drop after the last hole", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {5}, 1, 0, 1, 1},
    };
    for (const auto& row : rows) {
        UDPReceiver eager, lazy;
        for (std::int64_t s = 0; s < 12; ++s) {
            if (std::find(row.missing.begin(), row.missing.end(), s) != row.missing.end()) {
                continue;
            }
            const auto drops = row.dropsBefore[static_cast<std::size_t>(s)];
            eager.noteQueueDrops(drops);
            eager.record(at(s));
            if (lazy.revealsHole(s)) {
                lazy.noteQueueDrops(drops);
            }
            lazy.record(at(s));
        }
        for (auto* r : {&eager, &lazy}) {
            r->noteQueueDrops(row.endDrops);
        }
        for (const auto* r : {&eager, &lazy}) {
            SCOPED_TRACE(std::string(row.name) + (r == &eager ? ", eager" : ", lazy"));
            std::int64_t binned = 0;
            for (auto h : r->holes) {
                binned += h;
            }
            EXPECT_EQ(r->queueDropHoles, row.queueHoles);
            EXPECT_EQ(binned, row.linkHoles);
            EXPECT_EQ(r->unmatchedQueueDrops, row.unmatched);
            EXPECT_EQ(r->gaps, eager.gaps);
        }
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
