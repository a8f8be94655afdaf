// Whole Quick Tests between two (or three) copies of the system, each in its own network
// namespace, found by DNS-SD on the link and judged from each side's final snapshot the way
// the window and the Connection Details report judge it. The suites named Long run only from
// scripts/e2e-long.sh. The verdicts are those of a system at full speed: they are checked in
// full, so these run from a build without sanitizers.
#include <gtest/gtest.h>

#include <cstdio>

#include "assessment/report/connection_details_report.h"
#include "assessment/verdict/result_assessment.h"
#include "e2e_node.h"
#include "engines/udp_datagram.h"
#include "lab/netns_pair_test.h"
#include "lab/receive_stall_factory.h"
#include "lab_topology.h"

namespace sorvanta::testing {
namespace {

using Outcome = ResultAssessment::Outcome;
using Phase = SpeedSnapshot::Phase;

using namespace std::chrono_literals;

constexpr std::uint64_t mbps = 1'000'000;
// Datagrams a probe receiver takes before a stall: a few milliseconds into a gigabit leg.
constexpr std::int64_t stallAfter = 1000;
// The probe datagram from which the link loses some: past what a receiver's queue holds
// before it overflows in such a stall, so that every hole the link makes comes after the
// queue's own drops.
constexpr std::uint32_t linkLossFrom = 20'000;

// Runs a command inside a namespace; throws with its output when it fails.
void inNamespace(const std::string& ns, const std::string& command) {
    std::string output;
    const std::string line = "ip netns exec " + ns + " " + command + " 2>&1";
    FILE* pipe = ::popen(line.c_str(), "r");
    if (!pipe) {
        throw std::runtime_error("cannot run " + line);
    }
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe)) {
        output += buffer;
    }
    if (::pclose(pipe) != 0) {
        throw std::runtime_error(line + ": " + output);
    }
}

void shape(const std::string& ns, const std::string& device, const std::string& rate) {
    inNamespace(ns, "tc qdisc replace dev " + device + " root tbf rate " + rate +
                        " burst 512kb latency 50ms");
}

// Drops `percent` of the UDP datagrams arriving in the namespace from the probe's sequence
// number `from` on, DNS-SD excepted: the probe's datagrams are the only other UDP traffic. (A
// segmented send crosses the veth whole, so it goes as one, by its first datagram's number.)
void dropProbe(const std::string& ns, int percent, std::uint32_t from) {
    constexpr std::size_t udpHeader = 8;
    const std::string sequence =
        "@th," + std::to_string((udpHeader + udp_datagram::sequenceOffset) * 8) + ",32";
    inNamespace(ns, "nft add table inet e2e");
    inNamespace(ns, "nft 'add chain inet e2e input { type filter hook input priority 0 ; }'");
    inNamespace(ns, "nft add rule inet e2e input udp dport != 5353 " + sequence +
                        " \\>= " + std::to_string(from) + " numgen random mod 100 \\< " +
                        std::to_string(percent) + " drop");
}

struct Side {
    ServiceSnapshot final;
    ResultAssessment verdict;
    std::string report;
};

class E2eFixture : public NetnsPairTest {
  protected:
    void TearDown() override {
        nodes.clear();
        pair.reset();
    }

    // `engines` makes the network objects of both copies' engines; the system's own when
    // absent.
    void makeNodes(LinkReading linkA, LinkReading linkB,
                   std::shared_ptr<NetworkFactory> engines = nullptr) {
        nodes.push_back(std::make_unique<E2eNode>(pair->nsA, pair->link.nameA, pair->link.indexA,
                                                  "Desk", linkA, engines));
        nodes.push_back(std::make_unique<E2eNode>(pair->nsB, pair->link.nameB, pair->link.indexB,
                                                  "Studio", linkB, engines));
        for (auto& node : nodes) {
            node->start();
        }
    }
    void makeNodes(std::uint64_t linkRate, std::shared_ptr<NetworkFactory> engines = nullptr) {
        makeNodes({true, linkRate, true}, {true, linkRate, true}, std::move(engines));
    }
    void shapeEach(const std::string& aToB, const std::string& bToA) {
        shape(pair->nsA, pair->link.nameA, aToB);
        shape(pair->nsB, pair->link.nameB, bToA);
    }

    // Both sides ready with a direct link and nothing refusing a run.
    bool bothReady(double seconds = 30) {
        return std::all_of(nodes.begin(), nodes.end(),
                           [&](auto& node) { return node->waitFor(readyAndArmed, seconds); });
    }

    // Starts a Quick Test on the first copy as a click would and waits until both sides end
    // it; returns each side's final snapshot, verdict and report.
    std::vector<Side> runQuickTest(E2eNode* stopper = nullptr, int stopStage = -1) {
        std::vector<std::optional<Uuid>> before;
        for (auto& node : nodes) {
            before.push_back(node->snapshot().speed.run);
        }
        nodes[0]->service().startQuickTest(QuickProfile::quick);
        if (stopper) {
            EXPECT_TRUE(stopper->waitFor(
                [&](const ServiceSnapshot& s) {
                    return s.speed.phase == Phase::measuring && s.speed.stage == stopStage;
                },
                60));
            stopper->service().stopQuickTest();
        }
        std::vector<Side> sides;
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            const bool ended = nodes[i]->waitFor(
                [&](const ServiceSnapshot& s) { return runEnded(s) && s.speed.run != before[i]; },
                150);
            EXPECT_TRUE(ended) << i << ": " << nodes[i]->snapshot().speed.status;
            sides.push_back(judge(nodes[i]->snapshot()));
        }
        return sides;
    }

    static Side judge(const ServiceSnapshot& snapshot) {
        return {snapshot, ResultAssessment::shown(snapshot.speed, snapshot.speed.run),
                ConnectionDetailsReport(snapshot).plainText()};
    }

    std::vector<std::unique_ptr<E2eNode>> nodes;
};

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// What the probe alone found, apart from the verdict it is merged into, with each leg's
// counts.
bool probeFoundLoss(const SpeedSnapshot& speed) {
    for (const auto& leg : speed.quality.udp) {
        std::printf("probe leg %lld attempt %lld: accepted %lld, received %lld, unexplained %s\n",
                    static_cast<long long>(leg.leg), static_cast<long long>(leg.attempt),
                    static_cast<long long>(leg.send.accepted), static_cast<long long>(leg.unique),
                    leg.unexplainedHoles ? std::to_string(*leg.unexplainedHoles).c_str() : "-");
    }
    return QualityAssessment::probeFindings(speed).lossConcern;
}

// One shaped link, one link reading, perhaps lost probe datagrams: the verdict both sides
// reach.
struct ShapedCase {
    const char* name;
    const char* aToB;  // tbf rate, empty for none
    const char* bToA;
    std::uint64_t link;
    int dropPercent;
    // Each probe receiver stops reading for this long once, early in its leg, so that its
    // own receive queue overflows too; 0 for none.
    std::chrono::milliseconds receiverStall;
    // The verdict shown; absent where TCP resends on an unshaped veth may or may not
    // raise a concern.
    std::optional<Outcome> outcome;
    // The TCP stages' own verdict, and its title when it matters.
    Outcome speedOutcome;
    const char* speedTitle;
    const char* performance;  // empty: not checked
    // A line (or part of one) each side's report holds.
    const char* reportLine;
    // No TCP concern may be raised.
    bool tcpClean;
};

// Test listings and failures name the case rather than dump its bytes.
void PrintTo(const ShapedCase& row, std::ostream* out) {
    *out << row.name;
}

class ShapedRun : public E2eFixture, public ::testing::WithParamInterface<ShapedCase> {};

TEST_P(ShapedRun, BothSidesReachTheVerdict) {
    const ShapedCase& c = GetParam();
    if (*c.aToB) {
        shapeEach(c.aToB, c.bToA);
    }
    if (c.dropPercent > 0) {
        dropProbe(pair->nsA, c.dropPercent, linkLossFrom);
        dropProbe(pair->nsB, c.dropPercent, linkLossFrom);
    }
    std::shared_ptr<NetworkFactory> engines;
    if (c.receiverStall.count() > 0) {
        engines = std::make_shared<ReceiveStallFactory>(std::make_shared<SystemNetworkFactory>(),
                                                        stallAfter, c.receiverStall);
    }
    makeNodes(c.link, engines);
    ASSERT_TRUE(bothReady()) << nodes[0]->snapshot().status << " / " << nodes[1]->snapshot().status;
    const auto sides = runQuickTest();
    for (const auto& side : sides) {
        SCOPED_TRACE(side.report);
        EXPECT_EQ(side.final.speed.phase, Phase::complete) << side.final.speed.status;
        EXPECT_EQ(side.final.speed.stages.size(), 3u);
        EXPECT_EQ(probeFoundLoss(side.final.speed), c.dropPercent > 0);
        if (c.receiverStall.count() > 0) {
            // The stall did overflow each receiver's own queue.
            for (const auto& leg : side.final.speed.quality.udp) {
                EXPECT_TRUE(leg.receiverLimited()) << leg.leg << "/" << leg.attempt;
            }
        }
        if (*c.performance) {
            EXPECT_EQ(side.verdict.performance.value_or(""), c.performance);
        }
        if (c.outcome) {
            EXPECT_EQ(side.verdict.outcome, *c.outcome) << side.verdict.title;
        }
        EXPECT_EQ(side.verdict.speedOutcome, c.speedOutcome);
        if (*c.speedTitle) {
            EXPECT_EQ(ResultAssessment::speedVerdict(side.final.speed, side.final.speed.run).title,
                      c.speedTitle);
        }
        EXPECT_TRUE(contains(side.report, c.reportLine)) << c.reportLine;
        if (c.tcpClean) {
            EXPECT_FALSE(side.verdict.tcpIssue.has_value());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    EndToEnd, ShapedRun,
    ::testing::Values(ShapedCase{"gigabit", "1gbit", "1gbit", 1000 * mbps, 0, 0ms, Outcome::passed,
                                 Outcome::passed, "", "Gigabit-class performance",
                                 "Outcome  Connection looks healthy in this quick test", true},
                      // Lost probe datagrams are the quality check's concern; the TCP stages still
                      // pass. Each receiver's own queue overflows once, early in its leg, and the
                      // link loses datagrams only after that: the queue's drops are the
                      // receiver's, the link's losses are still found.
                      ShapedCase{"probeLoss", "1gbit", "1gbit", 1000 * mbps, 2, 400ms,
                                 Outcome::warning, Outcome::passed, "", "Gigabit-class performance",
                                 "Outcome  Quality needs checking", true}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    EndToEndLong, ShapedRun,
    ::testing::Values(ShapedCase{"fastEthernet", "100mbit", "100mbit", 100 * mbps, 0, 0ms,
                                 Outcome::passed, Outcome::passed, "", "100 Mbps-class performance",
                                 "Observed performance  100 Mbps-class performance", true},
                      // Rates far above the 10 Gb/s reading: the link check comes before any class.
                      ShapedCase{"unshapedTenGigabit", "", "", 10'000 * mbps, 0, 0ms, std::nullopt,
                                 Outcome::inconclusive, "Results exceed the reported link speed",
                                 "", "measured", false},
                      ShapedCase{"unevenDirections", "1gbit", "100mbit", 1000 * mbps, 0, 0ms,
                                 Outcome::warning, Outcome::warning, "Uneven speeds", "",
                                 "Uneven speeds.", false}),
    [](const auto& info) { return std::string(info.param.name); });

using EndToEnd = E2eFixture;
using EndToEndLong = E2eFixture;

// The cable pulled during the reverse stage, then plugged in again.
TEST_F(EndToEnd, CablePulledDuringReverseStageThenASecondRunPasses) {
    shapeEach("1gbit", "1gbit");
    makeNodes(1000 * mbps);
    ASSERT_TRUE(bothReady());
    std::vector<std::optional<Uuid>> before = {nodes[0]->snapshot().speed.run,
                                               nodes[1]->snapshot().speed.run};
    nodes[0]->service().startQuickTest(QuickProfile::quick);
    ASSERT_TRUE(nodes[0]->waitFor(
        [](const ServiceSnapshot& s) {
            return s.speed.phase == Phase::measuring && s.speed.stage == 1;
        },
        60))
        << nodes[0]->snapshot().speed.status;
    std::this_thread::sleep_for(std::chrono::seconds(1));
    // The drivers see the carrier go at the moment the cable leaves.
    for (auto& node : nodes) {
        node->hardware().setLink(node->device(), {false, std::nullopt, std::nullopt});
    }
    pair->lab.ip(pair->nsA, "link set dev " + pair->link.nameA + " down");
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        ASSERT_TRUE(nodes[i]->waitFor(
            [&](const ServiceSnapshot& s) { return runEnded(s) && s.speed.run != before[i]; }, 60))
            << nodes[i]->snapshot().speed.status;
        const Side side = judge(nodes[i]->snapshot());
        SCOPED_TRACE(side.report);
        EXPECT_EQ(side.final.speed.phase, Phase::failed);
        EXPECT_EQ(side.final.speed.end, RunEndCause::connection) << side.final.speed.status;
        EXPECT_EQ(side.verdict.outcome, Outcome::incomplete);
        EXPECT_TRUE(
            contains(side.report, "The connection between the Macs failed during the test."));
        EXPECT_FALSE(contains(side.report, "Observed link changes: 0 "));
    }
    pair->lab.ip(pair->nsA, "link set dev " + pair->link.nameA + " up");
    pair->lab.ip(pair->nsA,
                 "-6 addr replace " + pair->ipv6A + "/64 dev " + pair->link.nameA + " nodad");
    pair->lab.ip(pair->nsB,
                 "-6 addr replace " + pair->ipv6B + "/64 dev " + pair->link.nameB + " nodad");
    for (auto& node : nodes) {
        node->hardware().setLink(node->device(), {true, 1000 * mbps, true});
    }
    ASSERT_TRUE(bothReady(60)) << nodes[0]->snapshot().status << " / "
                               << nodes[1]->snapshot().status;
    for (const auto& side : runQuickTest()) {
        EXPECT_EQ(side.final.speed.phase, Phase::complete) << side.report;
        EXPECT_EQ(side.verdict.outcome, Outcome::passed) << side.report;
        EXPECT_EQ(side.verdict.speedOutcome, Outcome::passed);
    }
}

// A stop from the responder mid-stage ends both sides stopped.
TEST_F(EndToEndLong, StopFromTheResponderMidStage) {
    shapeEach("1gbit", "1gbit");
    makeNodes(1000 * mbps);
    ASSERT_TRUE(bothReady());
    const auto sides = runQuickTest(nodes[1].get(), 1);
    ASSERT_EQ(sides.size(), 2u);
    EXPECT_EQ(sides[0].final.speed.phase, Phase::cancelled);
    EXPECT_EQ(sides[0].final.speed.status, "Incomplete. Stopped on Studio.");
    EXPECT_TRUE(sides[0].final.speed.endedRemotely);
    EXPECT_EQ(sides[1].final.speed.phase, Phase::cancelled);
    EXPECT_EQ(sides[1].final.speed.status, "Incomplete. Test stopped.");
    for (const auto& side : sides) {
        EXPECT_EQ(side.verdict.outcome, Outcome::incomplete);
    }
}

// Three copies on one bridge: each sees two others, dials none, and no run can start.
TEST_F(EndToEndLong, ThreeCopiesOnOneBridgeStartNoRun) {
    BridgeLab bridge(3);
    std::vector<std::unique_ptr<E2eNode>> three;
    for (int i = 0; i < 3; ++i) {
        three.push_back(std::make_unique<E2eNode>(
            bridge.hosts[i], bridge.links[i].nameA, bridge.links[i].indexA,
            "Host " + std::to_string(i + 1), LinkReading{true, 1000 * mbps, true}));
        three.back()->start();
    }
    // Each sees two others; two may hold a channel, but none is armed, and a click is refused
    // by the other side's readiness.
    for (auto& node : three) {
        EXPECT_TRUE(node->waitFor(
            [](const ServiceSnapshot& s) { return s.peers.size() == 2 && !s.speed.armed; }, 30));
    }
    std::this_thread::sleep_for(std::chrono::seconds(3));
    for (auto& node : three) {
        node->service().startQuickTest(QuickProfile::quick);
    }
    std::this_thread::sleep_for(std::chrono::seconds(5));
    for (auto& node : three) {
        const ServiceSnapshot s = node->snapshot();
        SCOPED_TRACE(s.status);
        EXPECT_FALSE(s.speed.armed);
        EXPECT_FALSE(s.speed.busy);
        if (s.state == ConnectionState::ready) {
            EXPECT_EQ(s.speed.phase, Phase::cancelled);
            EXPECT_EQ(s.speed.status,
                      "Incomplete. The other Mac is not allowing Quick Tests, or is busy.");
        } else {
            EXPECT_EQ(s.status, "Choose the Mac connected to the cable you want to check.");
            EXPECT_FALSE(s.speed.run.has_value());
        }
    }
}

}  // namespace
}  // namespace sorvanta::testing
