#include "platform/net/network_interface.h"

#include <gtest/gtest.h>
#include <linux/if_arp.h>

#include <algorithm>
#include <cstdio>

#include "lab/netns_lab.h"

namespace sorvanta {
namespace {

using testing::NetnsLab;
using testing::NetnsPair;

TEST(InterfaceClassification, KernelLinkTypes) {
    EXPECT_EQ(classifyInterface(ARPHRD_ETHER, false), InterfaceType::wiredEthernet);
    EXPECT_EQ(classifyInterface(ARPHRD_ETHER, true), InterfaceType::wifi);
    EXPECT_EQ(classifyInterface(ARPHRD_IEEE80211_RADIOTAP, false), InterfaceType::wifi);
    EXPECT_EQ(classifyInterface(ARPHRD_LOOPBACK, false), InterfaceType::loopback);
    EXPECT_EQ(classifyInterface(ARPHRD_NONE, false), InterfaceType::other);  // tun
    EXPECT_EQ(classifyInterface(ARPHRD_PPP, false), InterfaceType::other);
    EXPECT_EQ(interfaceTypeName(InterfaceType::wiredEthernet), "wiredEthernet");
    EXPECT_EQ(interfaceTypeName(InterfaceType::cellular), "cellular");
}

TEST(InterfaceEnumeration, SeesVethAsWiredWithItsAddressesInsideTheNamespace) {
    SORVANTA_NETNS_PAIR_OR_SKIP(pair);
    NetnsLab::runIn(pair->nsA, [&] {
        const auto all = listInterfaces();
        ASSERT_EQ(all.size(), 2u);  // lo and our veth end, nothing of the host
        EXPECT_EQ(all[0].interface.type, InterfaceType::loopback);
        const auto veth = findInterface(pair->link.nameA);
        ASSERT_TRUE(veth.has_value());
        EXPECT_EQ(veth->interface.index, pair->link.indexA);
        EXPECT_EQ(veth->interface.type, InterfaceType::wiredEthernet);
        EXPECT_TRUE(veth->up);
        EXPECT_TRUE(veth->carrier);
        const auto has = [&](const asio::ip::address& a) {
            return std::find(veth->addresses.begin(), veth->addresses.end(), a) !=
                   veth->addresses.end();
        };
        EXPECT_TRUE(has(asio::ip::make_address(pair->ipv4A)));
        // Link-local IPv6 carries its interface as scope.
        auto v6 = asio::ip::make_address_v6(pair->ipv6A);
        v6.scope_id(static_cast<unsigned>(pair->link.indexA));
        EXPECT_TRUE(has(v6));
        EXPECT_EQ(findInterface(pair->link.indexA)->interface.name, pair->link.nameA);
        EXPECT_FALSE(findInterface(pair->link.nameB).has_value());
    });
}

TEST(InterfaceEnumeration, PeerDownClearsCarrierButNotUp) {
    SORVANTA_NETNS_PAIR_OR_SKIP(pair);
    pair->lab.ip(pair->nsB, "link set dev " + pair->link.nameB + " down");
    NetnsLab::runIn(pair->nsA, [&] {
        const auto veth = findInterface(pair->link.nameA);
        ASSERT_TRUE(veth.has_value());
        EXPECT_TRUE(veth->up);
        EXPECT_FALSE(veth->carrier);
    });
}

// Looking one interface up reads and classifies only that one; what it returns must still be
// what the whole list says of it, for every kind of device a namespace may hold.
TEST(InterfaceEnumeration, LookupsAgreeWithTheWholeListForEveryKindOfDevice) {
    SORVANTA_NETNS_PAIR_OR_SKIP(pair);
    const std::string& ns = pair->nsA;
    pair->lab.ip(ns, "link add fcbr0 type bridge");                      // down, no carrier
    pair->lab.ip(ns, "link add fcv0 type veth peer name fcv1");          // both ends down
    pair->lab.ip(ns, "link set dev fcv0 up");                            // up, peer down
    pair->lab.ip(ns, "link add link " + pair->link.nameA + " name fcmv0 type macvlan");
    pair->lab.ip(ns, "link set dev fcmv0 up");
    pair->lab.ip(ns, "addr add 169.254.77.1/16 dev fcmv0");
    NetnsLab::runIn(ns, [&] {
        const auto all = listInterfaces();
        ASSERT_EQ(all.size(), 6u);
        for (const auto& entry : all) {
            SCOPED_TRACE(entry.interface.name);
            for (const auto& found : {findInterface(entry.interface.name),
                                      findInterface(entry.interface.index)}) {
                ASSERT_TRUE(found.has_value());
                EXPECT_EQ(found->interface, entry.interface);
                EXPECT_EQ(found->up, entry.up);
                EXPECT_EQ(found->carrier, entry.carrier);
                EXPECT_EQ(found->addresses, entry.addresses);
            }
            // The unclassified reading the link watchers use every second.
            const auto state = interfaceState(entry.interface.index);
            ASSERT_TRUE(state.has_value());
            EXPECT_EQ(state->interface.name, entry.interface.name);
            EXPECT_EQ(state->interface.type, InterfaceType::other);
            EXPECT_EQ(state->up, entry.up);
            EXPECT_EQ(state->carrier, entry.carrier);
            EXPECT_EQ(state->addresses, entry.addresses);
        }
        EXPECT_FALSE(interfaceState(all.back().interface.index + 1000).has_value());
        const auto kind = [&](const std::string& name) {
            const auto found = findInterface(name);
            return found ? found->interface.type : InterfaceType::cellular;
        };
        EXPECT_EQ(kind("lo"), InterfaceType::loopback);
        EXPECT_EQ(kind("fcbr0"), InterfaceType::wiredEthernet);
        EXPECT_EQ(kind("fcv1"), InterfaceType::wiredEthernet);
        EXPECT_EQ(kind("fcmv0"), InterfaceType::wiredEthernet);
        EXPECT_TRUE(findInterface("fcv0")->up);
        EXPECT_FALSE(findInterface("fcv0")->carrier);
        EXPECT_FALSE(findInterface("fcbr0")->up);
        EXPECT_FALSE(findInterface("absent0").has_value());
        EXPECT_FALSE(findInterface(all.back().interface.index + 1000).has_value());
    });
}

TEST(NetnsLabFixture, RemovesItsNamespacesEvenWhenATestThrows) {
    std::string whyNot = NetnsLab::unavailableReason();
    if (!whyNot.empty()) {
        GTEST_SKIP() << "network namespaces unavailable: " << whyNot;
    }
    std::string name;
    try {
        NetnsLab lab;
        name = lab.addNamespace("gone");
        lab.addLink(name, lab.addNamespace("gone2"));
        throw std::runtime_error("test failure");
    } catch (const std::runtime_error&) {
    }
    FILE* list = ::popen("ip netns list", "r");
    ASSERT_NE(list, nullptr);
    std::string text;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, list) != nullptr) {
        text += buffer;
    }
    ::pclose(list);
    EXPECT_EQ(text.find(name), std::string::npos) << text;
}

}  // namespace
}  // namespace sorvanta
