#include "engines/udp_leg_result.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>

namespace sorvanta {
namespace {

UdpLegFacts facts(bool receiving) {
    return {{Uuid::random(), Uuid::random(), Uuid::random(), Uuid::random(), 0,
             std::vector<std::uint8_t>(32, 1)},
            1e9,
            3.0,
            receiving};
}

// A receiver that got sequences [0, count) except `missing`, 10 µs apart, at `delay` queue
// delay from the tenth on.
void receive(UdpLegState& s, std::int64_t count, std::vector<std::int64_t> missing = {},
             double delay = 0) {
    s.receipt = true;
    for (std::int64_t i = 0; i < count; ++i) {
        if (std::find(missing.begin(), missing.end(), i) == missing.end()) {
            const double send = 1e-5 * static_cast<double>(i);
            s.receiver.record({i, true, send, send + 0.0001 + (i >= 10 ? delay : 0)});
        }
    }
}

UDPSendSummary sent(std::int64_t accepted) {
    UDPSendSummary summary;
    summary.attempted = summary.accepted = accepted;
    summary.seconds = 3.0;
    summary.measurementStart = 1.0;
    summary.measurementEnd = 4.0;
    return summary;
}

TEST(UdpLegResultTest, Completed) {
    const auto f = facts(true);
    struct Row {
        const char* name;
        std::function<void(UdpLegState&)> setUp;
        double tail;
        std::optional<std::string> reason, countReason;
        std::int64_t unexplained;
    } rows[] = {
        {"clean", [](UdpLegState& s) { receive(s, 100), s.senderSummary = sent(100); }, 0.5,
         std::nullopt, std::nullopt, 0},
        {"tail loss and a hole",
         [](UdpLegState& s) { receive(s, 100, {50}), s.senderSummary = sent(110); }, 0.6,
         std::nullopt, std::nullopt, 11},
        // The last datagram arrived (highest sequence + 1 is the sender's count), one in
        // the middle did not: a loss, not a range conflict.
        {"last arrived, one missing",
         [](UdpLegState& s) { receive(s, 100, {50}), s.senderSummary = sent(100); }, 0.5,
         std::nullopt, std::nullopt, 1},
        {"late tail", [](UdpLegState& s) { receive(s, 100), s.senderSummary = sent(100); }, 0.61,
         "Receiver tail scheduling exceeded the intended allowance.", std::nullopt, 0},
        {"overrun wins",
         [](UdpLegState& s) {
             receive(s, 100), s.senderSummary = sent(99), s.receiver.overruns = 1;
         },
         0.61, "The receiving Mac limited the quality check: receive queue service was delayed.",
         "Received sequence range conflicts with the reliable sender count.", 0},
        {"range conflict", [](UdpLegState& s) { receive(s, 100), s.senderSummary = sent(99); }, 0.5,
         "Received sequence range conflicts with the reliable sender count.",
         "Received sequence range conflicts with the reliable sender count.", 0},
        {"send errors",
         [](UdpLegState& s) {
             receive(s, 100), s.senderSummary = sent(100), s.senderSummary->attempted = 101,
                              s.senderSummary->failed = 1,
                              s.senderSummary->reason =
                                  "Local UDP send failure; loss "
                                  "percentage unavailable.";
         },
         0.5, "Local UDP send errors make probe loss unavailable.",
         "Local UDP send errors make probe loss unavailable.", 0},
        // 80,000 datagrams a second with 2 ms queue delay: the holes at 1.6 ms and beyond
        // are explained by the receive queue overflowing.
        {"overflowed queue explains its holes",
         [](UdpLegState& s) {
             receive(s, 1000, {5, 500, 600}, 0.002), s.senderSummary = sent(1000);
         },
         0.5, std::nullopt, std::nullopt, 1},
        // The highest sequence number is the sender's count, so one more was received than
        // sent, though another is missing.
        {"highest at the sender's count, one missing",
         [](UdpLegState& s) { receive(s, 101, {50}), s.senderSummary = sent(100); }, 0.5,
         "Received sequence range conflicts with the reliable sender count.",
         "Received sequence range conflicts with the reliable sender count.", 1},
    };
    for (const auto& row : rows) {
        UdpLegState s(f);
        row.setUp(s);
        s.tailStart = 0.0;
        const auto o = udp_leg_result::completed(f, s, row.tail);
        EXPECT_EQ(o.reason, row.reason) << row.name;
        EXPECT_EQ(o.countReason, row.countReason) << row.name;
        EXPECT_EQ(o.unexplainedHoles, row.unexplained) << row.name;
        EXPECT_EQ(o.tailSeconds, row.tail) << row.name;
        // Too few datagrams over too short a span for timing evidence.
        EXPECT_EQ(o.timingReason, "Less than 80% arrival span or 32 timing observations.");
        EXPECT_TRUE(o.jitter.has_value());
        EXPECT_NO_THROW(o.validate()) << row.name;
        // Loss counts whenever the counts can be trusted: what the sender had accepted and
        // never arrived.
        auto known = o;
        known.receiverPath = "UDP connection on eth0";
        if (!row.countReason) {
            EXPECT_EQ(known.lostDatagrams(), known.send.accepted - known.unique) << row.name;
        }
    }
}

// A leg of `count` datagrams, 10 µs apart with no queue delay, of which the link lost
// `linkLost` and the receiving socket's full queue dropped a run of `overflow` from
// `overflowFrom` on, as entries of `perEntry` datagrams. Each datagram carries the socket's
// drop count when it was queued, and the count is taken again at the end.
struct Leg {
    std::int64_t count;
    std::int64_t overflowFrom, overflow, perEntry;
    std::function<bool(std::int64_t)> linkLost;
};

std::int64_t run(const Leg& leg, UdpLegState& s) {
    s.receipt = true;
    std::int64_t drops = 0, lost = 0;
    for (std::int64_t i = 0; i < leg.count; ++i) {
        if (i >= leg.overflowFrom && i < leg.overflowFrom + leg.overflow) {
            drops += (i - leg.overflowFrom) % leg.perEntry == 0 ? 1 : 0;
        } else if (leg.linkLost(i)) {
            ++lost;
        } else {
            const double send = 1e-5 * static_cast<double>(i);
            s.receiver.record({i, true, send, send + 0.0001, drops});
        }
    }
    s.receiver.noteQueueDrops(drops);
    s.senderSummary = sent(leg.count);
    return lost;
}

// What the socket's own queue dropped is the receiver's; what the link lost stays the link's,
// however many entries the queue dropped before it.
TEST(UdpLegResultTest, OnlyTheLinksLossIsUnexplained) {
    const auto f = facts(true);
    const auto none = [](std::int64_t) { return false; };
    const auto scattered = [](std::int64_t i) { return i >= 10'000 && i < 60'000 && i % 50 == 0; };
    std::mt19937 random(7);
    std::vector<bool> rare(234'000);
    for (std::size_t i = 30'000; i < rare.size(); ++i) {
        rare[i] = std::uniform_int_distribution<int>(0, 999)(random) == 0;
    }
    struct Row {
        const char* name;
        Leg leg;
        std::int64_t queueHoles;
        bool receiverLimited;
    } rows[] = {
        {"an overflow, then a lossy link", {100'000, 1'000, 50, 1, scattered}, 50, false},
        {"an overflow, then the link loses the tail",
         {100'000, 1'000, 50, 1, [](std::int64_t i) { return i >= 99'000; }},
         50,
         false},
        {"a stall, then rare loss on the link",
         {234'000, 20'000, 312, 1, [&rare](std::int64_t i) { return rare[i]; }},
         312,
         true},
        {"a coalesced overflow, then a lossy link",
         {100'000, 1'000, 312, 16, scattered},
         312,
         true},
        // One coalesced entry next to the link's own loss: only what it holds is the queue's.
        {"an entry and the link's loss in one hole",
         {100'000, 1'000, 64, 64, [](std::int64_t i) { return i >= 1'064 && i < 1'164; }},
         64,
         false},
        {"the queue drops the tail", {100'000, 99'000, 1'000, 1, none}, 0, true},
        {"a coalesced tail", {100'000, 99'000, 1'000, 16, none}, 0, true},
    };
    for (const auto& row : rows) {
        UdpLegState s(f);
        const std::int64_t lost = run(row.leg, s);
        s.tailStart = 0.0;
        auto o = udp_leg_result::completed(f, s, 0.5);
        o.receiverPath = "UDP connection on eth0";
        EXPECT_EQ(s.receiver.queueDropHoles, row.queueHoles) << row.name;
        EXPECT_EQ(o.unexplainedHoles, lost) << row.name;
        EXPECT_EQ(o.lostDatagrams(), lost + row.leg.overflow) << row.name;
        EXPECT_EQ(o.hasUnexplainedLoss(), o.isSignificantLoss(lost)) << row.name;
        EXPECT_EQ(o.receiverLimited(), row.receiverLimited) << row.name;
    }
}

TEST(UdpLegResultTest, Interrupted) {
    {
        // Receiver before the sender's summary, one datagram in.
        const auto f = facts(true);
        UdpLegState s(f);
        EXPECT_FALSE(udp_leg_result::interrupted(f, s, 2.0));
        receive(s, 1);
        s.receiver.overruns = 1;
        const auto o = udp_leg_result::interrupted(f, s, 2.0);
        ASSERT_TRUE(o);
        UDPSendSummary missing;
        missing.reason = "Reliable sender summary missing.";
        EXPECT_EQ(o->send, missing);
        EXPECT_EQ(o->countReason,
                  "Received sequence range conflicts with the reliable sender count.");
        EXPECT_EQ(o->reason, "Interrupted probe; final range/tail evidence is incomplete.");
        EXPECT_FALSE(o->jitter);
        EXPECT_TRUE(o->receiveCoverage);
        EXPECT_EQ(o->receiverPath, "Unavailable");
        EXPECT_NO_THROW(o->validate());
    }
    {
        // Sender while sending.
        const auto f = facts(false);
        UdpLegState s(f);
        s.started = 1.0;
        s.summary = sent(500);
        s.summary.measurementEnd.reset();
        s.summary.seconds = 0;
        s.summary.firstSubmission = 1.0;
        s.summary.lastSubmission = 2.0;
        s.pacer.gaps = 3;
        s.remoteCount = 400;
        s.path = "UDP connection";
        const auto o = udp_leg_result::interrupted(f, s, 2.5);
        ASSERT_TRUE(o);
        EXPECT_EQ(o->send.seconds, 1.5);
        EXPECT_EQ(o->send.measurementEnd, 2.5);
        EXPECT_EQ(o->send.pacingGaps, 3);
        EXPECT_EQ(o->send.reason, "Probe interrupted before final evidence exchange.");
        EXPECT_EQ(o->unique, 400);
        EXPECT_EQ(o->senderPath, "UDP connection");
        EXPECT_EQ(o->receiverPath, "Final receiver evidence unavailable");
        EXPECT_FALSE(o->receiveCoverage);
        EXPECT_FALSE(o->jitter);
        EXPECT_EQ(o->unexplainedHoles, 500);
        EXPECT_NO_THROW(o->validate());
        // Once stopped, the stop time ends the window.
        s.stopped = 2.0;
        EXPECT_EQ(udp_leg_result::interrupted(f, s, 9.0)->send.seconds, 1.0);
    }
}

}  // namespace
}  // namespace sorvanta
