#include <gtest/gtest.h>

#include <unordered_set>

#include "protocol/connection_state.h"
#include "protocol/interface_identity.h"
#include "protocol/local_network_state.h"
#include "protocol/peer.h"
#include "protocol/wired_interface.h"

namespace sorvanta {
namespace {

TEST(ServiceRecordsTest, RawValuesConvertExactly) {
    EXPECT_EQ(json::enumFromName<ConnectionState>("peerFound"), ConnectionState::peerFound);
    EXPECT_EQ(json::enumFromName<ConnectionState>("PeerFound"), std::nullopt);
    EXPECT_EQ(json::enumFromName<ConnectionState>(""), std::nullopt);
    EXPECT_EQ(json::enumName(ConnectionState::cancelled), "cancelled");

    EXPECT_EQ(json::enumFromName<LocalNetworkState>("Local Network available"),
              LocalNetworkState::available);
    EXPECT_EQ(json::enumFromName<LocalNetworkState>("available"), std::nullopt);
    EXPECT_EQ(json::enumName(LocalNetworkState::waiting),
              "Discovery running; access not yet confirmed");
    EXPECT_EQ(json::enumName(LocalNetworkState::unavailable),
              "Local Network denied or unavailable");

    using Type = WiredInterface::ConnectionType;
    EXPECT_EQ(json::enumFromName<Type>("Thunderbolt adapter"), Type::thunderbolt);
    EXPECT_EQ(json::enumFromName<Type>("usb"), std::nullopt);
    EXPECT_EQ(json::enumName(Type::pci), "PCI adapter");
}

TEST(ServiceRecordsTest, WiredInterfaceTitleEqualityAndIdentity) {
    WiredInterface internal{{"en0", 4},    "Ethernet", WiredInterface::ConnectionType::internalPort,
                            1'000'000'000, true,       std::nullopt};
    EXPECT_EQ(internal.title(), "Internal \xC2\xB7 Ethernet");
    WiredInterface unnamed{{"en7", 9},   "",           WiredInterface::ConnectionType::unknown,
                           std::nullopt, std::nullopt, std::nullopt};
    EXPECT_EQ(unnamed.title(), "Ethernet adapter \xC2\xB7 ");

    auto absentLink = internal;
    absentLink.linkActive.reset();
    auto downLink = internal;
    downLink.linkActive = false;
    EXPECT_NE(absentLink, downLink);
    EXPECT_EQ(absentLink.id(), downLink.id());
    auto withAdapter = internal;
    withAdapter.adapter = AdapterProfile{};
    EXPECT_NE(withAdapter, internal);

    std::unordered_set<InterfaceIdentity> identities{{"en0", 4}, {"en0", 5}, {"en1", 4}};
    EXPECT_EQ(identities.size(), 3u);
    EXPECT_TRUE(identities.contains({"en0", 5}));
    EXPECT_NE((InterfaceIdentity{"en0", 4}), (InterfaceIdentity{"en0", 5}));
}

TEST(ServiceRecordsTest, PeersCompareEveryField) {
    Peer peer{"6F1D2E3C-0000-4000-8000-000000000001", "Studio",
              Uuid::parse("6F1D2E3C-0000-4000-8000-000000000001"), true, "Mac14,3"};
    auto other = peer;
    EXPECT_EQ(peer, other);
    other.model.reset();
    EXPECT_NE(peer, other);
    other = peer;
    other.compatible = false;
    EXPECT_NE(peer, other);
}

}  // namespace
}  // namespace sorvanta
