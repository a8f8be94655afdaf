#include <gtest/gtest.h>

#include "service_node.h"

namespace sorvanta::testing {
namespace {

using Nodes = std::pair<std::unique_ptr<ServiceNode>, std::unique_ptr<ServiceNode>>;

Nodes twoNodes(NetnsPair& pair) {
    return {
        std::make_unique<ServiceNode>(
            pair.nsA, std::vector<std::pair<std::string, int>>{{pair.link.nameA, pair.link.indexA}},
            "Desk"),
        std::make_unique<ServiceNode>(
            pair.nsB, std::vector<std::pair<std::string, int>>{{pair.link.nameB, pair.link.indexB}},
            "Studio")};
}

// Starts both copies; true once each is ready with the Quick Test armed.
bool startBoth(ServiceNode& a, ServiceNode& b) {
    a.start();
    b.start();
    return a.waitFor(readyAndArmed) && b.waitFor(readyAndArmed);
}

TEST(WireServiceNetnsTest, TwoCopiesConvergeOnOneChannel) {
    SORVANTA_NETNS_PAIR_OR_SKIP(pair);
    for (int round = 0; round < 3; ++round) {
        auto [a, b] = twoNodes(*pair);
        ASSERT_TRUE(startBoth(*a, *b))
            << round << " " << a->snapshot().status << " / " << b->snapshot().status;
        EXPECT_EQ(a->snapshot().activePeerName, "Studio");
        EXPECT_EQ(b->snapshot().activePeerName, "Desk");
        // The election is settled: both stay ready.
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        EXPECT_TRUE(readyAndArmed(a->snapshot()));
        EXPECT_TRUE(readyAndArmed(b->snapshot()));
    }
}

TEST(WireServiceNetnsTest, CablePulledAndPluggedInAgain) {
    SORVANTA_NETNS_PAIR_OR_SKIP(pair);
    auto [a, b] = twoNodes(*pair);
    ASSERT_TRUE(startBoth(*a, *b));
    pair->lab.ip(pair->nsA, "link set " + pair->link.nameA + " down");
    auto lost = [](const ServiceSnapshot& s) { return s.state != ConnectionState::ready; };
    EXPECT_TRUE(a->waitFor(lost));
    EXPECT_TRUE(b->waitFor(lost, 30));
    EXPECT_FALSE(a->snapshot().speed.armed);
    pair->lab.ip(pair->nsA, "link set " + pair->link.nameA + " up");
    pair->lab.ip(pair->nsA,
                 "-6 addr replace " + pair->ipv6A + "/64 dev " + pair->link.nameA + " nodad");
    pair->lab.ip(pair->nsB,
                 "-6 addr replace " + pair->ipv6B + "/64 dev " + pair->link.nameB + " nodad");
    EXPECT_TRUE(a->waitFor(readyAndArmed, 40)) << a->snapshot().status;
    EXPECT_TRUE(b->waitFor(readyAndArmed, 40)) << b->snapshot().status;
    const std::string pulled = "Ethernet link is no longer viable. Reconnect the cable.";
    EXPECT_TRUE(a->sawStatus(pulled));
    EXPECT_TRUE(b->sawStatus(pulled));
}

TEST(WireServiceNetnsTest, StoppedRunReachesThePeerAsCancel) {
    SORVANTA_NETNS_PAIR_OR_SKIP(pair);
    auto [a, b] = twoNodes(*pair);
    ASSERT_TRUE(startBoth(*a, *b));
    a->service().startQuickTest(QuickProfile::quick);
    ASSERT_TRUE(b->waitFor([](const ServiceSnapshot& s) { return s.speed.busy; }));
    a->service().stopQuickTest();
    EXPECT_TRUE(b->waitFor([](const ServiceSnapshot& s) {
        return s.speed.status == "Incomplete. Stopped on Desk." && s.speed.endedRemotely &&
               s.speed.end == RunEndCause::stopped;
    })) << b->snapshot().speed.status;
    EXPECT_EQ(a->snapshot().speed.status, "Incomplete. Test stopped.");
}

}  // namespace
}  // namespace sorvanta::testing
