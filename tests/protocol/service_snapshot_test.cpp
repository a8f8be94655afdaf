#include "protocol/service_snapshot.h"

#include <gtest/gtest.h>

#include <unordered_set>

namespace sorvanta {
namespace {

TEST(ServiceSnapshotTest, InitialValues) {
    auto snapshot = ServiceSnapshot::initial();
    EXPECT_EQ(snapshot.state, ConnectionState::idle);
    EXPECT_EQ(snapshot.permission, LocalNetworkState::undetermined);
    EXPECT_EQ(json::enumName(snapshot.permission), "Waiting for Local Network access");
    EXPECT_EQ(snapshot.probeStatus, ProbeStatus::none);
    EXPECT_EQ(snapshot.revision, 0u);
    EXPECT_TRUE(snapshot.interfaces.empty());
    EXPECT_TRUE(snapshot.detectedInterfaces.empty());
    EXPECT_TRUE(snapshot.peers.empty());
    EXPECT_FALSE(snapshot.adapterAttaching);
    EXPECT_FALSE(snapshot.localLowPower);
    EXPECT_FALSE(snapshot.resultContext || snapshot.previousResult || snapshot.selectedIndex ||
                 snapshot.intendedInterface || snapshot.activePeerName ||
                 snapshot.activePeerModel || snapshot.activePeerAdapter ||
                 snapshot.activePeerLowPower || snapshot.directLink ||
                 snapshot.connectionIssuePeer);
    EXPECT_EQ(snapshot.status, "Connect two Macs with Ethernet. Wi-Fi can stay on.");
    EXPECT_EQ(snapshot.diagnostics, "No connection path verified.");
    EXPECT_EQ(snapshot.probeResult, "No probe sent.");
    EXPECT_EQ(snapshot.speed.phase, SpeedSnapshot::Phase::idle);
    EXPECT_FALSE(snapshot.speed.run);
}

}  // namespace
}  // namespace sorvanta
