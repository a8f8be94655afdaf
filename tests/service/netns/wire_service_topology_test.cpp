#include <gtest/gtest.h>

#include "lab_topology.h"
#include "service_node.h"

namespace sorvanta::testing {
namespace {

#define SORVANTA_NETNS_OR_SKIP()                                   \
    if (auto why = NetnsLab::unavailableReason(); !why.empty()) {  \
        GTEST_SKIP() << "network namespaces unavailable: " << why; \
    }

TEST(WireServiceTopologyTest, ThreeMacsOnOneBridgeAreNeverArmed) {
    SORVANTA_NETNS_OR_SKIP();
    BridgeLab bridge(3);
    std::vector<std::unique_ptr<ServiceNode>> nodes;
    for (int i = 0; i < 3; ++i) {
        nodes.push_back(std::make_unique<ServiceNode>(bridge.hosts[i], bridge.adapter(i),
                                                      "Mac " + std::to_string(i)));
        nodes.back()->start();
    }
    // Each copy comes to see both others. A copy that saw only one of them for a moment may
    // have dialled it (with all three visible nobody dials, as the unit tests show); either
    // way no copy's readiness gate admits a test.
    for (auto& node : nodes) {
        EXPECT_TRUE(node->waitFor([](const ServiceSnapshot& s) { return s.peers.size() == 2; }))
            << node->snapshot().status;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    for (auto& node : nodes) {
        EXPECT_FALSE(node->snapshot().speed.armed);
        node->service().startQuickTest(QuickProfile::quick);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    for (auto& node : nodes) {
        EXPECT_FALSE(node->snapshot().speed.busy);
    }
}

TEST(WireServiceTopologyTest, RouterOnThePathIsNotDirect) {
    SORVANTA_NETNS_OR_SKIP();
    BridgeLab bridge(2);
    // The hub routes: both hosts reach another network through it.
    bridge.lab.ip(bridge.hub, "addr add " + bridge.address(254) + "/16 dev br0");
    for (const auto& host : bridge.hosts) {
        bridge.lab.ip(host, "route add 169.254.250.0/24 via " + bridge.address(254));
    }
    ServiceNode a(bridge.hosts[0], bridge.adapter(0), "Desk");
    ServiceNode b(bridge.hosts[1], bridge.adapter(1), "Studio");
    a.start();
    b.start();
    auto connectedNotDirect = [](const ServiceSnapshot& s) {
        return s.state == ConnectionState::ready && s.directLink == false;
    };
    ASSERT_TRUE(a.waitFor(connectedNotDirect)) << a.snapshot().status;
    ASSERT_TRUE(b.waitFor(connectedNotDirect)) << b.snapshot().status;
    EXPECT_FALSE(a.snapshot().speed.armed);
    a.service().startQuickTest(QuickProfile::quick);  // refused: not armed, nothing happens
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_FALSE(a.snapshot().speed.busy);
}

TEST(WireServiceTopologyTest, TwoAdaptersWaitForTheUsersChoice) {
    SORVANTA_NETNS_OR_SKIP();
    NetnsLab lab;
    const auto self = lab.addNamespace("self");
    const auto first = lab.addNamespace("one");
    const auto second = lab.addNamespace("two");
    const auto one = lab.addLink(self, first);
    const auto two = lab.addLink(self, second);
    const std::string net = "169.254." + std::to_string(50 + ::getpid() % 50) + ".";
    lab.ip(self, "addr add " + net + "1/16 dev " + one.nameA);
    lab.ip(self, "-6 addr add fe80::1/64 dev " + one.nameA + " nodad");
    lab.ip(self, "addr add " + net + "3/16 dev " + two.nameA);
    lab.ip(self, "-6 addr add fe80::3/64 dev " + two.nameA + " nodad");
    lab.ip(first, "addr add " + net + "2/16 dev " + one.nameB);
    lab.ip(first, "-6 addr add fe80::2/64 dev " + one.nameB + " nodad");
    lab.ip(second, "addr add " + net + "4/16 dev " + two.nameB);
    ServiceNode a(self, {{one.nameA, one.indexA}, {two.nameA, two.indexA}}, "Desk");
    ServiceNode b(first, {{one.nameB, one.indexB}}, "Studio");
    a.start();
    b.start();
    ASSERT_TRUE(a.waitFor([](const ServiceSnapshot& s) { return s.interfaces.size() == 2; }));
    EXPECT_TRUE(a.sawStatus("Discovering the Ethernet interface with Bonjour\u2026"));
    EXPECT_FALSE(a.snapshot().selectedIndex.has_value());
    a.service().selectInterface(one.indexA);
    EXPECT_TRUE(a.waitFor(readyAndArmed)) << a.snapshot().status;
    EXPECT_EQ(a.snapshot().selectedIndex, one.indexA);
    EXPECT_EQ(a.snapshot().activePeerName, "Studio");
}

TEST(WireServiceTopologyTest, OverflowFailsAndSearchAgainRecovers) {
    SORVANTA_NETNS_OR_SKIP();
    BridgeLab bridge(2);
    // The run engine of `a` reports 200 outputs at once when it starts.
    ServiceNode a(bridge.hosts[0], bridge.adapter(0), "Desk", 200);
    ServiceNode b(bridge.hosts[1], bridge.adapter(1), "Studio");
    a.start();
    b.start();
    ASSERT_TRUE(a.waitFor(readyAndArmed));
    ASSERT_TRUE(b.waitFor(readyAndArmed));
    a.service().startQuickTest(QuickProfile::quick);
    ASSERT_TRUE(a.waitFor([](const ServiceSnapshot& s) {
        return s.state == ConnectionState::failed &&
               s.status == "Too many network events. Choose Search Again to restart discovery.";
    })) << a.snapshot().status;
    EXPECT_EQ(a.snapshot().speed.status, "Incomplete. Too many network events.");
    EXPECT_TRUE(b.waitFor([](const ServiceSnapshot& s) {
        return s.speed.end == RunEndCause::tester && s.speed.endedRemotely;
    })) << b.snapshot().speed.status;
    a.service().searchAgain();
    EXPECT_TRUE(a.waitFor(readyAndArmed, 30)) << a.snapshot().status;
    EXPECT_TRUE(b.waitFor(readyAndArmed, 30)) << b.snapshot().status;
}

}  // namespace
}  // namespace sorvanta::testing
