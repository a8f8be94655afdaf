#include "platform/net/route_netlink.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>

#include "lab/netns_lab.h"
#include "lab/temp_folder.h"

namespace sorvanta {
namespace {

asio::ip::address scoped(const char* text, int index) {
    auto address = asio::ip::make_address_v6(text);
    address.scope_id(static_cast<unsigned>(index));
    return address;
}

std::vector<asio::ip::address> sorted(std::vector<asio::ip::address> addresses) {
    std::sort(addresses.begin(), addresses.end());
    return addresses;
}

// Lookups and gateways from a main table of 3000 routes, whose dump takes several parts of
// 32 KiB; each router serves 150 neighbouring routes, so the last one shows only at the end.
TEST(RouteNetlink, AnswersFromATableTooLargeForOneRead) {
    SORVANTA_NETNS_PAIR_OR_SKIP(pair);
    const std::string a = pair->link.nameA;
    const auto other = pair->lab.addLink(pair->nsA, pair->lab.addNamespace("c"));
    std::string batch;
    for (int i = 0; i < 3000; ++i) {
        batch += "route add 169.254." + std::to_string(100 + i / 250) + "." +
                 std::to_string(i % 250) + "/32 via 169.254.200." + std::to_string(1 + i / 150) +
                 " dev " + a + "\n";
    }
    batch += "route add fe80:0:0:2::/64 via fe80::2 dev " + a + "\n";
    batch += "addr add fe80::8/64 dev " + other.nameA + " nodad\n";
    batch += "route add fe80:0:0:1::/64 via fe80::9 dev " + other.nameA + "\n";
    const testing::TempFolder folder;
    std::ofstream(folder.path / "routes") << batch;
    const auto added =
        testing::runCommand("ip -n " + pair->nsA + " -batch " + (folder.path / "routes").string());
    ASSERT_EQ(added.status, 0) << added.output;
    testing::NetnsThread thread(pair->nsA);
    const int indexA = pair->link.indexA;

    struct Lookup {
        const char* what;
        std::string destination;
        int through;
        std::optional<RouteLookup> expected;
    };
    const Lookup lookups[] = {
        {"through a router", "169.254.111.249", 0,
         RouteLookup{indexA, asio::ip::make_address("169.254.200.20")}},
        {"on the link", pair->ipv4B, 0, RouteLookup{indexA, std::nullopt}},
        {"on the link, IPv6", "fe80::2", indexA, RouteLookup{indexA, std::nullopt}},
        {"nowhere", "192.0.2.1", 0, std::nullopt},
    };
    for (const Lookup& c : lookups) {
        SCOPED_TRACE(c.what);
        const auto found = thread.call(
            [&] { return lookupRoute(asio::ip::make_address(c.destination), c.through); });
        ASSERT_EQ(found.has_value(), c.expected.has_value());
        if (found) {
            EXPECT_EQ(found->outputInterface, c.expected->outputInterface);
            EXPECT_EQ(found->gateway, c.expected->gateway);
        }
    }

    std::vector<asio::ip::address> routers;
    for (int i = 1; i <= 20; ++i) {
        routers.push_back(asio::ip::make_address("169.254.200." + std::to_string(i)));
    }
    routers.push_back(scoped("fe80::2", indexA));
    struct Gateways {
        const char* what;
        std::vector<int> interfaces;
        std::vector<asio::ip::address> expected;
    };
    const Gateways gateways[] = {
        {"on the crowded link", {indexA}, routers},
        {"on the other link", {other.indexA}, {scoped("fe80::9", other.indexA)}},
        {"on no link", {}, {}},
    };
    for (const Gateways& c : gateways) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(sorted(thread.call([&] { return gatewaysOn(c.interfaces); })),
                  sorted(c.expected));
    }
}

}  // namespace
}  // namespace sorvanta
