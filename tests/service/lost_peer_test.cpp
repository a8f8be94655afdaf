#include <gtest/gtest.h>

#include "service_rig.h"

// A peer that falls silent or goes away: the liveness checks of the control channel, what a
// timed-out channel shows, the reconfirmation of the peer's records, and the texts once the
// peer is gone from browsing. On fakes with a manual clock.
namespace sorvanta {
namespace {

using namespace std::chrono_literals;
using testing::Rig;

const std::string timedOut = "Connection ended: " + PlatformError::posix(ETIMEDOUT).text();
const std::string controlLost =
    "Incomplete. Control connection lost; result unavailable if not received.";

// Both ends of a control channel, the one this Mac dials and the one its listener accepts,
// notice a peer that stops answering well within 15 s; a hiccup of a second or two is not
// taken for one.
TEST(LostPeerTest, ControlConnectionsCarryLivenessChecksAtBothEnds) {
    for (bool dialler : {true, false}) {
        SCOPED_TRACE(dialler);
        Rig rig(dialler ? testing::lowID : testing::highID,
                dialler ? testing::highID : testing::lowID);
        rig.startPinned();
        rig.browse({rig.result(rig.peer)});
        std::vector<NetworkParameters> control = {rig.listener()->parameters()};
        ASSERT_EQ(rig.network->browsedConnections().size(), dialler ? 1u : 0u);
        if (dialler) {
            control.push_back(rig.network->browsedConnections()[0].connection->parameters());
        }
        for (const auto& parameters : control) {
            ASSERT_TRUE(parameters.liveness);
            const auto& l = *parameters.liveness;
            EXPECT_LE(l.keepaliveIdle + l.connectionDropTime + l.keepaliveInterval, 16s);
            EXPECT_GE(l.connectionDropTime, 5s);
            EXPECT_LT(l.keepaliveIdle, l.connectionDropTime);
            EXPECT_EQ(parameters.requiredInterface, rig.eth0);
        }
    }
}

// However the timed-out connection reports it first (its pending receive, a send's
// completion or its state), the channel ends once, as a failure that loses the run on it, and
// the peer's records are reconfirmed.
TEST(LostPeerTest, TimedOutChannelEndsAsALostConnectionAndReconfirmsThePeer) {
    const auto timeout = PlatformError::posix(ETIMEDOUT);
    struct Case {
        std::string name;
        std::function<void(Rig::Connection&)> fail;
        std::string status;
    };
    const std::vector<Case> cases = {
        {"receive", [&](Rig::Connection& c) { c.failReceive(timeout); }, timedOut},
        {"send", [&](Rig::Connection& c) { c.setSendError(timeout); }, timedOut},
        {"state", [&](Rig::Connection& c) { c.setState(TransportState::failed(timeout)); },
         "Connection failed: " + timeout.text()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        auto connection = rig.readyPeer();
        c.fail(*connection);
        rig.service->startQuickTest(QuickProfile::quick);  // its request is a send
        rig.poll();
        EXPECT_TRUE(connection->cancelled());
        EXPECT_EQ(rig.snap().status, c.status);
        EXPECT_EQ(rig.snap().state, ConnectionState::failed);
        EXPECT_EQ(rig.snap().activePeerName, std::nullopt);
        EXPECT_FALSE(rig.snap().speed.armed);
        EXPECT_EQ(rig.snap().speed.status, controlLost);
        EXPECT_EQ(rig.browser()->reconfirmed(),
                  std::vector<std::string>{rig.result(rig.peer).endpointText});
    }
}

// A request that nobody answers leaves the channel to its own checks, but the peer behind it
// may be gone: its records are reconfirmed.
TEST(LostPeerTest, UnansweredTestRequestReconfirmsThePeer) {
    Rig rig;
    auto connection = rig.readyPeer();
    rig.service->startQuickTest(QuickProfile::quick);
    rig.poll();
    rig.advance(9.9);
    EXPECT_TRUE(rig.browser()->reconfirmed().empty());
    rig.advance(0.2);
    EXPECT_EQ(rig.snap().speed.status, "Incomplete. Test admission timed out.");
    EXPECT_EQ(rig.browser()->reconfirmed(),
              std::vector<std::string>{rig.result(rig.peer).endpointText});
    EXPECT_FALSE(connection->cancelled());
}

// Search Again starts over: a peer found after it that vanishes before any connection is
// just not there any more, even when it is the one whose connection had ended before.
TEST(LostPeerTest, PeerFoundAfterSearchAgainThatVanishesIsSearchedFor) {
    Rig rig;  // the peer's identifier sorts first: it dials, this Mac waits
    auto connection = rig.readyPeer();
    connection->deliver({}, true);
    rig.poll();
    ASSERT_EQ(rig.snap().status, "Peer disconnected. Looking for Ethernet\u2026");
    rig.service->searchAgain();
    rig.poll();
    rig.listener()->setState({ListenerState::Kind::ready, {}, 5000});
    rig.browser()->setState({DnssdState::Kind::ready, {}});
    rig.poll();
    rig.browse({rig.result(rig.peer)});
    ASSERT_EQ(rig.snap().peers.size(), 1u);
    rig.browse({});
    EXPECT_EQ(rig.snap().status, "Looking for another Mac running Sorvanta\u2026");
    EXPECT_EQ(rig.snap().state, ConnectionState::searching);
}

}  // namespace
}  // namespace sorvanta
