#include <gtest/gtest.h>

#include <fstream>

#include "lab/event_recorder.h"
#include "lab/veth_sides.h"
#include "platform/net/netlink_path_monitor.h"
#include "platform/net/route_netlink.h"
#include "platform/net/socket_tcp_listener.h"
#include "platform/net/wired_path.h"

namespace sorvanta {
namespace {

using testing::EventRecorder;

class PathMonitorOverVeth : public testing::VethSides {
  protected:
    std::shared_ptr<PathMonitor> monitorOnA(EventRecorder<NetworkPath>& paths) {
        auto monitor = a->call([&] {
            auto m = NetlinkPathMonitor::create(a->executor(), InterfaceType::wiredEthernet);
            m->setUpdateHandler([&paths](const NetworkPath& p) { paths.push(p); });
            m->start();
            return m;
        });
        atTearDown(*a, [monitor] { monitor->cancel(); });
        return monitor;
    }
};

TEST_F(PathMonitorOverVeth, ReportsWiredInterfacesAndTheirChangesOnlyWhenTheyChange) {
    EventRecorder<NetworkPath> paths;
    monitorOnA(paths);
    ASSERT_TRUE(paths.waitForCount(1));
    const NetworkPath first = paths.values()[0];
    EXPECT_EQ(first.statusText(), "satisfied");
    ASSERT_EQ(first.availableInterfaces.size(), 1u);  // loopback is not wired
    EXPECT_EQ(first.availableInterfaces[0], ifA);
    EXPECT_TRUE(first.gateways.empty());
    EXPECT_TRUE(isWiredPath(first, ifA));

    // Kernel events that change nothing wired deliver nothing.
    pair->lab.ip(pair->nsA, "addr add 127.0.0.2/8 dev lo");
    pair->lab.ip(pair->nsA, "-6 addr add fe80::99/64 dev " + pair->link.nameA + " nodad");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(paths.values().size(), 1u);

    // A router on the interface shows as a gateway.
    pair->lab.ip(pair->nsA, "route add default via " + pair->ipv4B);
    ASSERT_TRUE(paths.waitForCount(2));
    ASSERT_EQ(paths.values()[1].gateways.size(), 1u);
    EXPECT_EQ(paths.values()[1].gateways[0].to_string(), pair->ipv4B);
    pair->lab.ip(pair->nsA, "route del default via " + pair->ipv4B);
    ASSERT_TRUE(paths.waitForCount(3));
    EXPECT_TRUE(paths.values()[2].gateways.empty());

    // The peer's link going down takes the carrier, and the interface, away.
    pair->lab.ip(pair->nsB, "link set dev " + pair->link.nameB + " down");
    ASSERT_TRUE(paths.waitForCount(4));
    const NetworkPath down = paths.values()[3];
    EXPECT_EQ(down.status, PathStatus::unsatisfied);
    EXPECT_EQ(down.statusText(), "unsatisfied (notAvailable)");
    EXPECT_TRUE(down.availableInterfaces.empty());

    // A second wired link appears beside the first once it is up and has an address.
    pair->lab.ip(pair->nsB, "link set dev " + pair->link.nameB + " up");
    const std::string nsC = pair->lab.addNamespace("c");
    const auto second = pair->lab.addLink(pair->nsA, nsC);
    pair->lab.ip(pair->nsA, "-6 addr add fe80::5/64 dev " + second.nameA + " nodad");
    ASSERT_TRUE(paths.waitFor([](auto& v) { return v.back().availableInterfaces.size() == 2; }));
    EXPECT_FALSE(isWiredPath(paths.values().back(), ifA));  // two interfaces
}

TEST_F(PathMonitorOverVeth, ConnectionThroughARouterHasItsGatewayADirectOneNone) {
    // A — R — C with routes through R, all link-local.
    auto& lab = pair->lab;
    const std::string nsR = lab.addNamespace("r");
    const std::string nsC = lab.addNamespace("c");
    const auto left = lab.addLink(pair->nsA, nsR);
    const auto right = lab.addLink(nsR, nsC);
    lab.ip(pair->nsA, "addr add 169.254.251.1/24 dev " + left.nameA);
    lab.ip(nsR, "addr add 169.254.251.254/24 dev " + left.nameB);
    lab.ip(nsR, "addr add 169.254.252.254/24 dev " + right.nameA);
    lab.ip(nsC, "addr add 169.254.252.2/24 dev " + right.nameB);
    lab.ip(pair->nsA, "route add 169.254.252.0/24 via 169.254.251.254 dev " + left.nameA);
    lab.ip(nsC, "route add 169.254.251.0/24 via 169.254.252.254 dev " + right.nameB);
    testing::NetnsLab::runIn(nsR, [] { std::ofstream("/proc/sys/net/ipv4/ip_forward") << "1"; });

    testing::NetnsThread c(nsC);
    EventRecorder<ListenerState> listening;
    auto listener = c.call([&] {
        auto l = SocketTcpListener::create(c.executor(), NetworkParameters::tcp());
        l->setStateHandler([&](const ListenerState& s) { listening.push(s); });
        l->setNewConnectionHandler(
            [](std::shared_ptr<TcpConnection> inbound) { inbound->cancel(); });
        l->start();
        return l;
    });
    ASSERT_TRUE(listening.waitForCount(1));
    const auto port = listening.values()[0].port;

    const auto viaRouter = interfaceIn(*a, left.nameA);
    const auto dial = [&](const NetworkInterface& pinned, const std::string& host) {
        EventRecorder<TransportState> states;
        auto connection = a->call([&] {
            auto t = SocketTcpConnection::create(
                a->executor(), {asio::ip::make_address(host), port}, makeWiredParameters(pinned));
            t->setStateHandler([&states](const TransportState& s) { states.push(s); });
            t->start();
            return t;
        });
        EXPECT_TRUE(states.waitFor(
            [](auto& v) { return !v.empty() && v.back().kind == TransportState::Kind::ready; }));
        const auto path = a->call([&] {
            connection->cancel();
            return connection->currentPath();
        });
        return path.value_or(NetworkPath{});
    };
    const NetworkPath routed = dial(viaRouter, "169.254.252.2");
    EXPECT_TRUE(isWiredPath(routed, viaRouter));
    ASSERT_EQ(routed.gateways.size(), 1u);
    EXPECT_EQ(routed.gateways[0].to_string(), "169.254.251.254");

    // The same listener reached directly over the pair: no gateway.
    const auto second = lab.addLink(pair->nsA, nsC);
    lab.ip(nsC, "addr add 169.254.254.2/24 dev " + second.nameB);
    lab.ip(pair->nsA, "addr add 169.254.254.1/24 dev " + second.nameA);
    const auto directly = interfaceIn(*a, second.nameA);
    const NetworkPath direct = dial(directly, "169.254.254.2");
    EXPECT_TRUE(isWiredPath(direct, directly));
    EXPECT_TRUE(direct.gateways.empty());

    c.call([&] {
        listener->cancel();
        return 0;
    });
}

TEST_F(PathMonitorOverVeth, AWatchThatCouldNotOpenIsTriedAgainUntilItDoes) {
    EventRecorder<NetworkPath> paths;
    EventRecorder<bool> opened;
    const auto failingTwice = [&](NetworkExecutor executor, std::function<void()> changed) {
        const bool fails = opened.values().size() < 2;
        opened.push(!fails);
        return fails ? nullptr : RouteWatcher::open(std::move(executor), std::move(changed));
    };
    auto monitor = a->call([&] {
        auto m =
            NetlinkPathMonitor::create(a->executor(), InterfaceType::wiredEthernet, failingTwice);
        m->setUpdateHandler([&paths](const NetworkPath& p) { paths.push(p); });
        m->start();
        return m;
    });
    atTearDown(*a, [monitor] { monitor->cancel(); });
    ASSERT_TRUE(paths.waitForCount(1));
    EXPECT_TRUE(paths.values()[0].gateways.empty());
    // Read again on each try, so seen even before the watch opens.
    pair->lab.ip(pair->nsA, "route add default via " + pair->ipv4B);
    ASSERT_TRUE(paths.waitFor([](const auto& v) { return !v.back().gateways.empty(); }));
    ASSERT_TRUE(opened.waitForCount(3));
    EXPECT_EQ(opened.values(), (std::vector{false, false, true}));
    // Watched from then on.
    pair->lab.ip(pair->nsA, "route del default via " + pair->ipv4B);
    ASSERT_TRUE(paths.waitFor([](const auto& v) { return v.back().gateways.empty(); }));
    EXPECT_EQ(opened.values().size(), 3u);
}

}  // namespace
}  // namespace sorvanta
