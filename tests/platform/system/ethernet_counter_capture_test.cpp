#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>

#include "lab/netns_lab.h"
#include "platform/system/ethernet_counter_capture.h"
#include "protocol/ethernet_run_evidence.h"

namespace sorvanta {
namespace {

using testing::NetnsLab;

EthernetCounterSnapshot captureIn(const std::string& ns, const std::string& name, int index,
                                  double offset) {
    EthernetCounterSnapshot snapshot;
    NetnsLab::runIn(ns, [&] { snapshot = captureEthernetCounters(name, index, offset); });
    return snapshot;
}

TEST(EthernetCounterCapture, ReadsAVethEndInsideItsNamespace) {
    SORVANTA_NETNS_PAIR_OR_SKIP(pair);
    const auto& link = pair->link;
    EthernetRunEvidence evidence;
    evidence.before = captureIn(pair->nsA, link.nameA, link.indexA, 0.5);
    EXPECT_EQ(evidence.before.reason, std::nullopt);
    EXPECT_TRUE(evidence.before.registryID);
    EXPECT_TRUE(evidence.before.administrativeChange);
    evidence.after = captureIn(pair->nsA, link.nameA, link.indexA, 1.5);
    EXPECT_EQ(evidence.counterIntervalProblem(), std::nullopt);

    // The same counters and carrier history as the interface list and a carrier request
    // give, read in the same namespace.
    EthernetCounterSnapshot listed;
    listed.offset = evidence.after->offset;
    listed.registryID = evidence.after->registryID;
    listed.reason = std::string(EthernetCounterSnapshot::statisticsUnavailable);
    NetnsLab::runIn(pair->nsA, [&] {
        ifaddrs* list = nullptr;
        ASSERT_EQ(::getifaddrs(&list), 0);
        ethernet_capture::readStatistics(
            list, link.nameA, link.indexA,
            ethernet_capture::readCarrierCounts(link.nameA, link.indexA), listed);
        ::freeifaddrs(list);
    });
    EXPECT_EQ(listed, evidence.after);

    // The peer going down takes the carrier with it: the link's state changed.
    pair->lab.ip(pair->nsB, "link set dev " + link.nameB + " down");
    evidence.after = captureIn(pair->nsA, link.nameA, link.indexA, 2.5);
    EXPECT_EQ(evidence.after->registryID, evidence.before.registryID);
    EXPECT_NE(evidence.after->administrativeChange, evidence.before.administrativeChange);
    EXPECT_EQ(evidence.counterIntervalProblem(),
              "Interface identity or administrative state changed/unavailable.");

    // The name is unknown outside the namespace.
    const auto outside = captureEthernetCounters(link.nameA, link.indexA, 3);
    EXPECT_EQ(outside.reason, "Selected interface identity changed.");
}

TEST(EthernetCounterCapture, AReplacedDeviceIsAnotherDevice) {
    SORVANTA_NETNS_PAIR_OR_SKIP(pair);
    const auto& link = pair->link;
    const auto before = captureIn(pair->nsA, link.nameA, link.indexA, 0.5);
    ASSERT_TRUE(before.registryID);
    // Another device takes the name.
    pair->lab.ip(pair->nsA, "link delete " + link.nameA);
    pair->lab.ip(pair->nsA, "link add " + link.nameA + " type veth peer name " + link.nameB);
    EXPECT_EQ(captureIn(pair->nsA, link.nameA, link.indexA, 1.5).reason,
              "Selected interface identity changed.");
    int index = 0;
    NetnsLab::runIn(pair->nsA,
                    [&] { index = static_cast<int>(::if_nametoindex(link.nameA.c_str())); });
    ASSERT_GT(index, 0);
    const auto after = captureIn(pair->nsA, link.nameA, index, 1.5);
    ASSERT_TRUE(after.registryID);
    EXPECT_NE(after.registryID, before.registryID);
}

}  // namespace
}  // namespace sorvanta
