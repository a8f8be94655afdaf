// UDP probe legs on real sockets between two namespaces joined by a veth pair, with the link
// shaped, lossy, cut or crowded by strangers.
#include <gtest/gtest.h>

#include <asio/ip/udp.hpp>

#include "engines/udp_datagram.h"
#include "lab/udp_probe_leg.h"
#include "lab/veth_sides.h"

namespace sorvanta {
namespace {

using namespace std::chrono_literals;
using testing::UdpProbeLeg;
using Failed = UDPTransfer::Failed;
using Result = UDPTransfer::Result;

class UdpProbeOverVeth : public testing::VethSides {
  protected:
    static int inside(const std::string& ns, const std::string& command) {
        return std::system(("ip netns exec " + ns + " " + command).c_str());
    }
    std::unique_ptr<UdpProbeLeg> leg(double capacity) {
        return std::make_unique<UdpProbeLeg>(
            UdpProbeLeg::Side{a.get(), ifA, asio::ip::make_address(pair->ipv4A)},
            UdpProbeLeg::Side{b.get(), ifB, asio::ip::make_address(pair->ipv4B)}, capacity);
    }
    // A complete leg's result, or a test failure.
    UDPObservation resultOf(UdpProbeLeg& leg) {
        const auto result = leg.awaitFrom<Result>(leg.receiverEvents, 12s);
        EXPECT_FALSE(leg.awaitFrom<Failed>(leg.receiverEvents, 0ms));
        EXPECT_FALSE(leg.awaitFrom<Failed>(leg.senderEvents, 0ms));
        return result ? result->observation : UDPObservation{};
    }
};

TEST_F(UdpProbeOverVeth, UnshapedLegDeliversThePlan) {
    auto probe = leg(1e9);
    probe->start();
    const auto o = resultOf(*probe);
    // Every slot from the first send to the last was either sent or, when a tick came late on
    // this shared and possibly sanitized machine, counted as dropped; but for the part of a
    // slot that each late tick skips as the schedule restarts after it. How much of the plan is
    // offered on a quiet machine is the probe bench's figure.
    const double perSecond = 1e9 * 0.75 / 9600, planned = perSecond * 3.0;
    const double span = *o.send.lastSubmission - *o.send.firstSubmission;
    EXPECT_GT(span, 2.9);
    EXPECT_NEAR(static_cast<double>(o.send.attempted + o.send.discardedSlots), span * perSecond,
                planned * 0.03);
    EXPECT_GT(o.send.accepted, planned / 4);
    EXPECT_EQ(o.send.accepted, o.send.attempted);
    ASSERT_TRUE(o.receiveCoverage);
    if (o.receiverOverruns == 0) {
        EXPECT_EQ(o.lostDatagrams(), 0);
        EXPECT_EQ(o.receiveCoverage->delayedChecks, 0);
    }
    EXPECT_NO_THROW(o.validate());
}

TEST_F(UdpProbeOverVeth, RandomLossIsCounted) {
    // Drop 2 % of the probe datagrams (kind byte 1), never the readiness datagram. A veth
    // carries a segmented send across whole, where a wire carries its datagrams one by one;
    // segmenting before the link lets the filter see each datagram.
    ASSERT_EQ(inside(pair->nsA, "ip link set dev " + pair->link.nameA + " gso_max_segs 1"), 0);
    ASSERT_EQ(inside(pair->nsB, "nft add table inet probe"), 0);
    ASSERT_EQ(
        inside(pair->nsB, "nft 'add chain inet probe in { type filter hook input priority 0; }'"),
        0);
    ASSERT_EQ(inside(pair->nsB,
                     "nft add rule inet probe in udp length 1208 @th,104,8 1 numgen "
                     "random mod 1000 '<' 20 drop"),
              0);
    auto probe = leg(1e8);  // a receive queue that holds a second: only the link drops
    probe->start();
    const auto o = resultOf(*probe);
    ASSERT_TRUE(o.lostDatagrams());
    EXPECT_NEAR(
        100.0 * static_cast<double>(*o.lostDatagrams()) / static_cast<double>(o.send.accepted), 2.0,
        0.5);
    EXPECT_TRUE(o.hasUnexplainedLoss());
}

TEST_F(UdpProbeOverVeth, ShapedLinkIsLimitedAndPlansALowerRate) {
    ASSERT_EQ(inside(pair->nsA, "tc qdisc add dev " + pair->link.nameA +
                                    " root tbf rate 100mbit burst 64kb latency 40ms"),
              0);
    auto probe = leg(1e9);
    probe->start();
    const auto o = resultOf(*probe);
    ASSERT_TRUE(o.isLimited());
    const auto plan = o.lowerRatePlan(50e6);
    ASSERT_TRUE(plan);
    // The retry offers 0.8 of the 100 Mbit/s achieved: about 107 Mbit/s of capacity, and the
    // first attempt's datagrams would take longer than 6 s.
    EXPECT_NEAR(plan->capacity, 100e6 * 0.8 / 0.75, 10e6);
    EXPECT_EQ(plan->plannedSeconds, 6.0);
}

TEST_F(UdpProbeOverVeth, LinkDownAndSilentPeer) {
    {
        auto probe = leg(1e8);
        probe->start();
        ASSERT_TRUE(probe->awaitFrom<UDPTransfer::Progress>(probe->receiverEvents, 5s));
        pair->lab.ip(pair->nsB, "link set dev " + pair->link.nameB + " down");
        for (auto* events : {&probe->receiverEvents, &probe->senderEvents}) {
            const auto failed = probe->awaitFrom<Failed>(*events, 5s);
            ASSERT_TRUE(failed);
            EXPECT_TRUE(failed->reason == "Selected UDP Ethernet path lost." ||
                        failed->reason == "UDP path no longer viable.")
                << failed->reason;
            EXPECT_TRUE(failed->safety);
            EXPECT_EQ(failed->cause, RunEndCause::connection);
        }
        const auto received = probe->receiver->finish();
        const auto sent = probe->sender->finish();
        ASSERT_TRUE(received && sent);
        EXPECT_EQ(received->send.reason, "Reliable sender summary missing.");
        EXPECT_GT(received->unique, 0);
        EXPECT_EQ(sent->receiverPath, "Final receiver evidence unavailable");
        for (const auto& o : {*received, *sent}) {
            EXPECT_EQ(o.reason, "Interrupted probe; final range/tail evidence is incomplete.");
            EXPECT_NO_THROW(o.validate());
        }
        pair->lab.ip(pair->nsB, "link set dev " + pair->link.nameB + " up");
    }
    auto probe = leg(1e8);
    probe->start();
    ASSERT_TRUE(probe->awaitFrom<UDPTransfer::Progress>(probe->receiverEvents, 5s));
    probe->relayProgress = false;
    const auto failed = probe->awaitFrom<Failed>(probe->senderEvents, 5s);
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->reason,
              "No progress reports from the receiving Mac for two seconds; probe stopped.");
    EXPECT_TRUE(failed->safety);
    EXPECT_EQ(failed->cause, RunEndCause::tester);
}

TEST_F(UdpProbeOverVeth, StrangersDatagrams) {
    // Eight flows from another address on the link: refused, and the eighth ends the leg.
    const auto net = pair->ipv4A.substr(0, pair->ipv4A.rfind('.') + 1);
    pair->lab.ip(pair->nsA, "addr add " + net + "3/16 dev " + pair->link.nameA);
    {
        auto probe = leg(1e8);
        probe->sender->cancel();  // only strangers come
        probe->start();
        const auto listening = probe->awaitFrom<UDPTransfer::Listening>(probe->receiverEvents, 5s);
        ASSERT_TRUE(listening);
        a->call([&] {
            asio::io_context io;
            for (int i = 0; i < 8; ++i) {
                asio::ip::udp::socket s(io, {asio::ip::make_address(net + "3"), 0});
                const std::array<std::uint8_t, 1> byte{0};
                s.send_to(asio::buffer(byte),
                          {asio::ip::make_address(pair->ipv4B), listening->port});
            }
            return 0;
        });
        const auto failed = probe->awaitFrom<Failed>(probe->receiverEvents, 5s);
        ASSERT_TRUE(failed);
        EXPECT_EQ(failed->reason, "Too many UDP candidates.");
        EXPECT_FALSE(failed->safety);
    }
    // A peer whose flow also carries datagrams of another run or token: they are counted as
    // rejected and the leg completes. The sending side is played by hand.
    auto probe = leg(1e8);
    probe->sender->cancel();
    probe->start();
    const auto listening = probe->awaitFrom<UDPTransfer::Listening>(probe->receiverEvents, 5s);
    ASSERT_TRUE(listening);
    auto factory = std::make_shared<SystemNetworkFactory>();
    NetworkParameters parameters = NetworkParameters::udp();
    parameters.requiredInterface = ifA;
    auto flow = a->call([&] {
        auto c = factory->makeUdpConnection(
            a->executor(), {asio::ip::make_address(pair->ipv4B), listening->port}, parameters);
        c->start();
        return c;
    });
    atTearDown(*a, [flow] { flow->cancel(); });
    auto foreign = probe->binding();
    foreign.token[0] ^= 0xFF;
    auto otherRun = probe->binding();
    otherRun.run = Uuid::random();
    const auto send = [&](const UDPBinding& b, std::uint8_t kind, std::uint32_t sequence) {
        auto bytes = std::make_shared<UdpConnection::Bytes>(udp_datagram::size, 0);
        udp_datagram::writeHeader(*bytes, b.datagramPrefix(), kind, sequence, 0.001 * sequence);
        a->post([flow, bytes] { flow->send(bytes, nullptr); });
    };
    for (int i = 0; i < 500 && flow->state().kind != TransportState::Kind::ready; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    send(probe->binding(), 0, 0);
    ASSERT_TRUE(probe->awaitFrom<UDPTransfer::Ready>(probe->receiverEvents, 5s));
    for (std::uint32_t s = 0; s < 100; ++s) {
        send(probe->binding(), 1, s);
        if (s % 10 == 0) {
            send(foreign, 1, s);
            send(otherRun, 1, s);
        }
    }
    UDPSendSummary summary;
    summary.attempted = summary.accepted = 100;
    std::this_thread::sleep_for(100ms);
    b->call([&] { return probe->receiver->acceptSenderSummary(summary, "by hand"), 0; });
    const auto o = resultOf(*probe);
    EXPECT_EQ(o.unique, 100);
    EXPECT_EQ(o.rejected, 20);
    EXPECT_EQ(o.lostDatagrams(), 0);
}

}  // namespace
}  // namespace sorvanta
