#include <gtest/gtest.h>
#include <algorithm>

#include "service_rig.h"

// Edges of the service's channel and run handling, each on fakes with a manual clock.
namespace sorvanta {
namespace {

using testing::Rig;
using Kind = ControlMessage::Kind;
using SpeedKind = SpeedMessage::Kind;

std::vector<SpeedMessage> speedSent(const Rig::Connection& connection) {
    std::vector<SpeedMessage> all;
    for (const auto& message : Rig::sent(connection)) {
        if (message.kind == Kind::speed && message.speed) {
            all.push_back(*message.speed);
        }
    }
    return all;
}

SpeedMessage requestFrom(const Rig& rig, const Uuid& run = Uuid::random()) {
    SpeedMessage request;
    request.kind = SpeedKind::request;
    request.run = run;
    request.sender = rig.peer;
    return request;
}

// The initiator's run, accepted by the peer: its engine built and started.
SpeedMessage acceptedRun(Rig& rig, Rig::Connection& connection) {
    rig.service->startQuickTest(QuickProfile::quick);
    rig.poll();
    auto accept = speedSent(connection).back();
    accept.kind = SpeedKind::accept;
    rig.deliver(connection, {rig.speed(accept)});
    return accept;
}

// A run that is still shutting its engines down keeps the service busy: a request for a new
// run, under a fresh identifier, is refused as busy, not as a replay.
TEST(WireServiceEdges, FreshRunWhileTheLastOneStopsIsRefusedAsBusy) {
    Rig rig;
    auto connection = rig.readyPeer();
    const auto first = requestFrom(rig);
    rig.deliver(*connection, {rig.speed(first)});
    ASSERT_EQ(rig.engines.size(), 1u);
    rig.service->stopQuickTest();
    rig.poll();
    ASSERT_FALSE(rig.engines[0]->done == nullptr);  // asked to stop, not stopped yet

    const auto fresh = requestFrom(rig);
    rig.deliver(*connection, {rig.speed(fresh)});
    EXPECT_EQ(speedSent(*connection).back().kind, SpeedKind::reject);
    EXPECT_EQ(speedSent(*connection).back().run, fresh.run);
    EXPECT_EQ(rig.logs.back(), "Declined a test from the other Mac: busy");
    EXPECT_EQ(rig.engines.size(), 1u);
    EXPECT_TRUE(rig.snap().speed.busy);

    SpeedSnapshot final;
    final.run = first.run;
    final.phase = SpeedSnapshot::Phase::cancelled;
    rig.engines[0]->done(final);
    rig.poll();
    EXPECT_FALSE(rig.snap().speed.busy);
    const auto later = requestFrom(rig);
    rig.deliver(*connection, {rig.speed(later)});
    EXPECT_EQ(speedSent(*connection).back().kind, SpeedKind::accept);
    EXPECT_EQ(rig.engines.size(), 2u);
}

// The admission deadline belongs to the request: an accepted run outlives it.
TEST(WireServiceEdges, AdmissionDeadlineEndsWithTheAdmission) {
    Rig rig;
    auto connection = rig.readyPeer();
    acceptedRun(rig, *connection);
    ASSERT_EQ(rig.engines.size(), 1u);
    rig.advance(10.5);
    EXPECT_FALSE(rig.engines[0]->failReason) << *rig.engines[0]->failReason;
    EXPECT_EQ(rig.snap().speed.preparation.issue, std::nullopt);
    EXPECT_NE(speedSent(*connection).back().kind, SpeedKind::cancel);
    EXPECT_TRUE(rig.snap().speed.busy);
}

// A second accept of the same run is out of order: the one engine stays the only one.
TEST(WireServiceEdges, DuplicatedAcceptStartsNoSecondEngine) {
    Rig rig;
    auto connection = rig.readyPeer();
    const auto accept = acceptedRun(rig, *connection);
    ASSERT_EQ(rig.engines.size(), 1u);
    rig.poll();
    rig.deliver(*connection, {rig.speed(accept)});
    EXPECT_EQ(rig.engines.size(), 1u);
    EXPECT_EQ(rig.engines[0]->starts, 1);
    EXPECT_TRUE(connection->cancelled());
    EXPECT_EQ(rig.snap().status, "The peer sent an invalid control message (unexpectedMessage).");
}

// The control connection leaves the wired path while it carries a run: closed at once, with
// no idle grace.
TEST(WireServiceEdges, ControlPathLostDuringARunClosesAtOnce) {
    const NetworkInterface wifi{"wlan0", 4, InterfaceType::wifi};
    for (bool running : {true, false}) {
        Rig rig;
        auto connection = rig.readyPeer();
        if (running) {
            rig.deliver(*connection, {rig.speed(requestFrom(rig))});
            ASSERT_EQ(rig.engines.size(), 1u);
        }
        auto path = rig.path();
        path.availableInterfaces = {wifi};
        connection->setPath(path);
        rig.poll();
        EXPECT_EQ(connection->cancelled(), running) << running;
        if (running) {
            EXPECT_EQ(rig.snap().status,
                      "Selected Ethernet path lost. Connection cancelled; waiting for Ethernet.");
            EXPECT_EQ(rig.engines[0]->failReason,
                      "Control connection lost; result unavailable if not received.");
        } else {
            rig.advance(1.9);
            EXPECT_FALSE(connection->cancelled());  // an idle channel gets its grace
        }
    }
}

// Idle time refills the control rate limit to its 32 tokens and no further.
TEST(WireServiceEdges, RateLimitBanksNoMoreThanItsBucket) {
    const struct {
        int burst;
        bool closed;
    } rows[] = {{32, false}, {33, true}};
    for (const auto& row : rows) {
        Rig rig;
        auto connection = rig.readyPeer();
        rig.advance(100.0);
        rig.deliver(*connection,
                    std::vector<ControlMessage>(row.burst, rig.fromPeer(Kind::power)));
        EXPECT_EQ(connection->cancelled(), row.closed) << row.burst;
    }
}

// The deadline of a partial frame starts again when a frame completes and new bytes wait.
TEST(WireServiceEdges, PartialFrameDeadlineRestartsWhenAFrameCompletes) {
    Rig rig;
    auto connection = rig.readyPeer();
    auto frame = ControlFrameCodec::encode(rig.fromPeer(Kind::power));
    const std::size_t cut = frame.size() / 2;
    connection->deliver({frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(cut)});
    rig.poll();
    rig.advance(9.0);
    // The rest of the frame, and the start of the next one.
    TcpConnection::Bytes rest(frame.begin() + static_cast<std::ptrdiff_t>(cut), frame.end());
    rest.insert(rest.end(), frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(cut));
    connection->deliver(rest);
    rig.poll();
    rig.advance(9.9);
    EXPECT_FALSE(connection->cancelled());
    rig.advance(0.2);
    EXPECT_TRUE(connection->cancelled());
    EXPECT_EQ(rig.snap().status, "Incomplete control frame timed out.");
}

}  // namespace
}  // namespace sorvanta

namespace sorvanta {
namespace {

// Every received frame verifies the channel's path again. The evidence text is built again only
// when the path's endpoints moved; a moved path is always recorded and shown, also when it
// moves back to what it was before.
TEST(WireServiceEdges, PathEvidenceFollowsEveryEndpointChangeBetweenFrames) {
    Rig rig;
    auto connection = rig.readyPeer();
    const auto verifiedLogs = [&] {
        return std::count_if(rig.logs.begin(), rig.logs.end(), [](const std::string& text) {
            return text.rfind("Verified wiredEthernet eth0 / 2", 0) == 0;
        });
    };
    const auto first = rig.path();
    auto localMoved = first;
    localMoved.localEndpoint->port = 50010;
    auto remoteMoved = first;
    remoteMoved.remoteEndpoint = Endpoint{asio::ip::make_address("169.254.0.9"), 50001};
    struct Step {
        const char* what;
        NetworkPath path;
        const char* local;
        const char* remote;
        bool logged;
    };
    const Step steps[] = {
        {"same path", first, "169.254.0.1:50000", "169.254.0.2:50001", false},
        {"local port moved", localMoved, "169.254.0.1:50010", "169.254.0.2:50001", true},
        {"unchanged again", localMoved, "169.254.0.1:50010", "169.254.0.2:50001", false},
        {"remote address moved", remoteMoved, "169.254.0.1:50000", "169.254.0.9:50001", true},
        {"back to the first", first, "169.254.0.1:50000", "169.254.0.2:50001", true},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        const auto before = verifiedLogs();
        connection->setPath(step.path);
        rig.deliver(*connection, {rig.fromPeer(Kind::power)});
        ASSERT_EQ(rig.snap().state, ConnectionState::ready);
        EXPECT_EQ(rig.snap().diagnostics, std::string("Verified wiredEthernet: eth0 / 2\nLocal: ") +
                                              step.local + "\nRemote: " + step.remote);
        EXPECT_EQ(verifiedLogs() - before, step.logged ? 1 : 0);
    }
}

}  // namespace
}  // namespace sorvanta
