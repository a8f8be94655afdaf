#include "protocol/service_snapshot.h"

#include <gtest/gtest.h>

#include <unordered_set>

namespace sorvanta {
namespace {

TEST(ServiceSnapshotTest, InitialValues) {
    auto snapshot = ServiceSnapshot::initial();
    EXPECT_EQ(snapshot.state, ConnectionState::idle);
    EXPECT_EQ(json::enumName(snapshot.permission), "Waiting for Local Network access");
    EXPECT_EQ(snapshot.probeStatus, ProbeStatus::none);
    EXPECT_EQ(snapshot.revision, 0u);
    EXPECT_TRUE(snapshot.interfaces.empty() && snapshot.detectedInterfaces.empty() &&
                snapshot.peers.empty());
    EXPECT_FALSE(snapshot.adapterAttaching || snapshot.localLowPower);
    EXPECT_FALSE(snapshot.resultContext || snapshot.previousResult || snapshot.selectedIndex ||
                 snapshot.intendedInterface || snapshot.activePeerName ||
                 snapshot.activePeerModel || snapshot.activePeerAdapter ||
                 snapshot.activePeerLowPower || snapshot.directLink ||
                 snapshot.connectionIssuePeer);
    EXPECT_EQ(snapshot.status, "Connect two Macs with Ethernet. Wi-Fi can stay on.");
    EXPECT_EQ(snapshot.diagnostics, "No connection path verified.");
    EXPECT_EQ(snapshot.probeResult, "No probe sent.");
    EXPECT_EQ(snapshot.speed.phase, SpeedSnapshot::Phase::idle);
}

TEST(ServiceSnapshotTest, RawValuesConvertExactly) {
    EXPECT_EQ(json::enumFromName<ConnectionState>("peerFound"), ConnectionState::peerFound);
    EXPECT_EQ(json::enumFromName<ConnectionState>("PeerFound"), std::nullopt);
    EXPECT_EQ(json::enumFromName<ConnectionState>(""), std::nullopt);
    EXPECT_EQ(json::enumFromName<LocalNetworkState>("Local Network available"),
              LocalNetworkState::available);
    EXPECT_EQ(json::enumFromName<LocalNetworkState>("available"), std::nullopt);
    EXPECT_EQ(json::enumFromName<WiredInterface::ConnectionType>("Thunderbolt adapter"),
              WiredInterface::ConnectionType::thunderbolt);
}

TEST(ServiceSnapshotTest, WiredInterfaceTitleEqualityAndIdentity) {
    using Type = WiredInterface::ConnectionType;
    WiredInterface internal{{"en0", 4}, "Ethernet", Type::internalPort, 1'000'000'000, true, {}};
    EXPECT_EQ(internal.title(), "Internal \xC2\xB7 Ethernet");
    EXPECT_EQ((WiredInterface{{"en7", 9}, "", Type::unknown, {}, {}, {}}.title()),
              "Ethernet adapter \xC2\xB7 ");

    auto absentLink = internal, downLink = internal;
    absentLink.linkActive.reset();
    downLink.linkActive = false;
    EXPECT_NE(absentLink, downLink);
    EXPECT_EQ(absentLink.id(), downLink.id());

    std::unordered_set<InterfaceIdentity> identities{{"en0", 4}, {"en0", 5}, {"en1", 4}};
    EXPECT_EQ(identities.size(), 3u);
    EXPECT_TRUE(identities.contains({"en0", 5}));
}

}  // namespace
}  // namespace sorvanta
