#include "protocol/service_snapshot.h"

#include <gtest/gtest.h>

#include <unordered_set>

namespace sorvanta {
namespace {

TEST(ServiceSnapshotTest, InitialValues) {
    const auto s = ServiceSnapshot::initial();
    EXPECT_EQ(s.state, ConnectionState::idle);
    EXPECT_EQ(json::enumName(s.permission), "Waiting for Local Network access");
    EXPECT_EQ(s.probeStatus, ProbeStatus::none);
    EXPECT_EQ(s.revision, 0u);
    EXPECT_TRUE(s.interfaces.empty() && s.detectedInterfaces.empty() && s.peers.empty());
    EXPECT_FALSE(s.adapterAttaching || s.localLowPower || s.resultContext || s.previousResult ||
                 s.selectedIndex || s.intendedInterface || s.activePeerName || s.activePeerModel ||
                 s.activePeerAdapter || s.activePeerLowPower || s.directLink ||
                 s.connectionIssuePeer);
    EXPECT_EQ(s.status, "Connect two Macs with Ethernet. Wi-Fi can stay on.");
    EXPECT_EQ(s.diagnostics, "No connection path verified.");
    EXPECT_EQ(s.probeResult, "No probe sent.");
    EXPECT_EQ(s.speed.phase, SpeedSnapshot::Phase::idle);
}

TEST(ServiceSnapshotTest, RawValuesConvertExactly) {
    EXPECT_EQ(json::enumFromName<ConnectionState>("peerFound"), ConnectionState::peerFound);
    EXPECT_EQ(json::enumFromName<ConnectionState>("PeerFound"), std::nullopt);
    EXPECT_EQ(json::enumFromName<ConnectionState>(""), std::nullopt);
    EXPECT_EQ(json::enumFromName<LocalNetworkState>("Local Network available"),
              LocalNetworkState::available);
    EXPECT_EQ(json::enumFromName<LocalNetworkState>("available"), std::nullopt);
}

TEST(ServiceSnapshotTest, WiredInterfaceTitleEqualityAndIdentity) {
    using Type = WiredInterface::ConnectionType;
    const std::pair<Type, const char*> titles[] = {
        {Type::internalPort, "Internal \u00B7 Ethernet"},
        {Type::usb, "USB adapter \u00B7 Ethernet"},
        {Type::thunderbolt, "Thunderbolt adapter \u00B7 Ethernet"},
        {Type::pci, "PCI adapter \u00B7 Ethernet"},
        {Type::unknown, "Ethernet adapter \u00B7 Ethernet"}};
    for (const auto& [type, title] : titles) {
        EXPECT_EQ((WiredInterface{{"en0", 4}, "Ethernet", type, {}, {}, {}}.title()), title);
    }
    EXPECT_EQ((WiredInterface{{"en7", 9}, "", Type::unknown, {}, {}, {}}.title()),
              "Ethernet adapter \u00B7 ");

    WiredInterface absentLink{{"en0", 4}, "Ethernet", Type::internalPort, 1'000'000'000, {}, {}};
    auto downLink = absentLink;
    downLink.linkActive = false;
    EXPECT_NE(absentLink, downLink);
    EXPECT_EQ(absentLink.id(), downLink.id());

    const std::unordered_set<InterfaceIdentity> identities{{"en0", 4}, {"en0", 5}, {"en1", 4}};
    EXPECT_EQ(identities.size(), 3u);
    EXPECT_TRUE(identities.contains({"en0", 5}));
}

}  // namespace
}  // namespace sorvanta
