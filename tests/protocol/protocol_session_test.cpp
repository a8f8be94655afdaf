#include "protocol/protocol_session.h"

#include <gtest/gtest.h>

#include "protocol/protocol_failure.h"
#include "protocol_samples.h"

namespace sorvanta {
namespace {

using Kind = ControlMessage::Kind;

const AdapterProfile localProfile{2'500'000'000, 1'000'000'000, "Realtek RTL8156", 5'000'000'000};

struct Peer {
    Uuid id = Uuid::random();

    ControlMessage message(Kind kind, const Uuid& session) const {
        auto m = samples::control(kind);
        m.session = session;
        m.instance = id;
        return m;
    }
};

// Compares every field so that "unchanged" really means unchanged.
void expectSame(const ProtocolSession& a, const ProtocolSession& b) {
    EXPECT_EQ(a.localID, b.localID);
    EXPECT_EQ(a.localName, b.localName);
    EXPECT_EQ(a.initiator, b.initiator);
    EXPECT_EQ(a.expectedPeer, b.expectedPeer);
    EXPECT_EQ(a.localAdapter, b.localAdapter);
    EXPECT_EQ(a.sessionID, b.sessionID);
    EXPECT_EQ(a.remoteID, b.remoteID);
    EXPECT_EQ(a.remoteName, b.remoteName);
    EXPECT_EQ(a.remoteAdapter, b.remoteAdapter);
    EXPECT_EQ(a.localLowPower, b.localLowPower);
    EXPECT_EQ(a.remoteLowPower, b.remoteLowPower);
    EXPECT_EQ(a.machine, b.machine);
    EXPECT_EQ(a.pendingProbe, b.pendingProbe);
}

// Handles the message, expects `expected`, and checks the session did not change.
void expectFailure(ProtocolSession& session, const ControlMessage& m, ProtocolFailure expected) {
    const ProtocolSession before = session;
    try {
        session.handle(m);
        ADD_FAILURE() << "no failure, expected " << expected.name();
    } catch (const ProtocolFailure& f) {
        EXPECT_EQ(f, expected) << "got " << f.name() << ", expected " << expected.name();
    }
    expectSame(session, before);
}

ProtocolSession answering(bool lowPower = false,
                          std::optional<AdapterProfile> adapter = localProfile) {
    return ProtocolSession(Uuid::random(), "Desk", false, std::nullopt, adapter, lowPower);
}

ProtocolSession readySession(const Peer& peer) {
    auto s = answering();
    s.handle(peer.message(Kind::hello, Uuid::random()));
    return s;
}

TEST(ProtocolSessionTest, NewSessionStartsConnectingWithAFreshSession) {
    auto a = answering();
    auto b = answering();
    EXPECT_EQ(a.machine.state, ConnectionState::connecting);
    EXPECT_NE(a.sessionID, b.sessionID);
    EXPECT_FALSE(a.remoteID || a.remoteName || a.remoteAdapter || a.remoteLowPower ||
                 a.pendingProbe);
}

TEST(ProtocolSessionTest, AnsweringSideAdoptsTheSessionAndReplies) {
    Peer peer;
    for (bool lowPower : {false, true}) {
        for (auto adapter : {std::optional(localProfile), std::optional<AdapterProfile>()}) {
            auto s = answering(lowPower, adapter);
            const Uuid sessionS = Uuid::random();
            auto hello = peer.message(Kind::hello, sessionS);
            hello.lowPower = true;
            hello.adapter =
                AdapterProfile{1'000'000'000, 1'000'000'000, "Realtek RTL8153", std::nullopt};
            auto reply = s.handle(hello);
            ASSERT_TRUE(reply);
            EXPECT_EQ(s.machine.state, ConnectionState::ready);
            EXPECT_EQ(s.sessionID, sessionS);
            EXPECT_EQ(s.remoteID, peer.id);
            EXPECT_EQ(s.remoteName, "Studio");
            EXPECT_EQ(s.remoteAdapter, hello.adapter);
            EXPECT_EQ(s.remoteLowPower, true);

            ControlMessage expected;
            expected.kind = Kind::helloAck;
            expected.session = sessionS;
            expected.instance = s.localID;
            expected.name = "Desk";
            expected.adapter = adapter;
            expected.lowPower = lowPower;
            EXPECT_EQ(*reply, expected);
            EXPECT_NO_THROW(reply->validate());
        }
    }
}

TEST(ProtocolSessionTest, HandshakeWithoutOptionalFieldsLeavesThemAbsent) {
    Peer peer;
    auto s = answering();
    s.remoteLowPower = false;  // absent in the hello: the recorded value follows it
    s.handle(peer.message(Kind::hello, Uuid::random()));
    EXPECT_EQ(s.remoteAdapter, std::nullopt);
    EXPECT_EQ(s.remoteLowPower, std::nullopt);
}

TEST(ProtocolSessionTest, DiallingSideAcceptsOnlyItsOwnSession) {
    Peer peer;
    ProtocolSession s(Uuid::random(), "Desk", true, peer.id, std::nullopt, false);
    expectFailure(s, peer.message(Kind::helloAck, Uuid::random()),
                  ProtocolFailure::identityChanged);
    EXPECT_EQ(s.machine.state, ConnectionState::connecting);
    // The kind is checked before the session.
    expectFailure(s, peer.message(Kind::hello, Uuid::random()), ProtocolFailure::unexpectedMessage);
    auto reply = s.handle(peer.message(Kind::helloAck, s.sessionID));
    EXPECT_FALSE(reply);
    EXPECT_EQ(s.machine.state, ConnectionState::ready);
    EXPECT_EQ(s.remoteID, peer.id);
}

TEST(ProtocolSessionTest, HandshakeRefusesOtherKindsAndIdentities) {
    Peer peer;
    auto s = answering();
    for (Kind kind : {Kind::helloAck, Kind::probe, Kind::power, Kind::speed, Kind::error}) {
        expectFailure(s, peer.message(kind, Uuid::random()), ProtocolFailure::unexpectedMessage);
    }
    // Validation comes first, then the self check, then the expected peer.
    auto invalid = peer.message(Kind::hello, Uuid::random());
    invalid.instance = s.localID;
    invalid.version = 8;
    expectFailure(s, invalid, ProtocolFailure::incompatible);
    invalid.version = 9;
    expectFailure(s, invalid, ProtocolFailure::selfConnection);

    ProtocolSession expecting(Uuid::random(), "Desk", false, Uuid::random(), std::nullopt, false);
    expectFailure(expecting, peer.message(Kind::hello, Uuid::random()),
                  ProtocolFailure::identityChanged);
    auto self = peer.message(Kind::helloAck, Uuid::random());
    self.instance = expecting.localID;
    expectFailure(expecting, self, ProtocolFailure::selfConnection);
}

TEST(ProtocolSessionTest, AfterTheHandshakeSessionAndPeerMustMatch) {
    Peer peer;
    auto s = readySession(peer);
    auto self = peer.message(Kind::power, s.sessionID);
    self.instance = s.localID;
    expectFailure(s, self, ProtocolFailure::selfConnection);
    expectFailure(s, peer.message(Kind::hello, s.sessionID), ProtocolFailure::unexpectedMessage);
    expectFailure(s, peer.message(Kind::helloAck, s.sessionID), ProtocolFailure::unexpectedMessage);
    expectFailure(s, peer.message(Kind::hello, Uuid::random()), ProtocolFailure::identityChanged);
    expectFailure(s, peer.message(Kind::error, s.sessionID), ProtocolFailure::unexpectedMessage);
    Peer third;
    expectFailure(s, third.message(Kind::power, s.sessionID), ProtocolFailure::identityChanged);
}

TEST(ProtocolSessionTest, ProbesAreAnsweredWithTheirDigest) {
    Peer peer;
    auto s = readySession(peer);
    auto probe = peer.message(Kind::probe, s.sessionID);
    probe.payload = std::vector<std::uint8_t>(2048);
    for (std::size_t i = 0; i < probe.payload->size(); ++i) {
        (*probe.payload)[i] = static_cast<std::uint8_t>(i * 7);
    }
    const ProtocolSession before = s;
    auto reply = s.handle(probe);
    ASSERT_TRUE(reply);
    expectSame(s, before);
    EXPECT_EQ(reply->kind, Kind::probeAck);
    EXPECT_EQ(reply->session, s.sessionID);
    EXPECT_EQ(reply->instance, s.localID);
    EXPECT_EQ(reply->nonce, probe.nonce);
    EXPECT_EQ(reply->length, 2048);
    EXPECT_EQ(reply->digest, ProtocolSession::digest(*probe.payload));
    EXPECT_FALSE(reply->payload || reply->name || reply->reason || reply->adapter ||
                 reply->lowPower);
    EXPECT_NO_THROW(reply->validate());

    const std::string abc = "abc";
    EXPECT_EQ(ProtocolSession::digest(std::vector<std::uint8_t>(abc.begin(), abc.end())),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(ProtocolSessionTest, AcknowledgementsNeedTheMatchingPendingProbe) {
    Peer peer;
    auto s = readySession(peer);
    expectFailure(s, peer.message(Kind::probeAck, s.sessionID), ProtocolFailure::badProbe);

    auto pending = samples::control(Kind::probe);
    pending.session = s.sessionID;
    pending.instance = s.localID;
    s.pendingProbe = pending;
    s.machine.state = ConnectionState::probing;
    auto ack = peer.message(Kind::probeAck, s.sessionID);
    ack.nonce = pending.nonce;
    ack.length = 2048;
    ack.digest = ProtocolSession::digest(*pending.payload);

    auto wrong = ack;
    wrong.nonce = Uuid::random();
    expectFailure(s, wrong, ProtocolFailure::badProbe);
    wrong = ack;
    wrong.length = 2047;
    expectFailure(s, wrong, ProtocolFailure::badProbe);
    wrong = ack;
    wrong.digest = std::string(64, '0');
    expectFailure(s, wrong, ProtocolFailure::badProbe);

    EXPECT_FALSE(s.handle(ack));
    EXPECT_EQ(s.machine.state, ConnectionState::ready);
    EXPECT_FALSE(s.pendingProbe);
    expectFailure(s, ack, ProtocolFailure::badProbe);  // answered once only
}

TEST(ProtocolSessionTest, PowerUpdatesAndSpeedPassesThrough) {
    Peer peer;
    auto s = readySession(peer);
    auto power = peer.message(Kind::power, s.sessionID);
    power.lowPower = true;
    EXPECT_FALSE(s.handle(power));
    EXPECT_EQ(s.remoteLowPower, true);
    power.lowPower = false;
    s.handle(power);
    EXPECT_EQ(s.remoteLowPower, false);

    const ProtocolSession before = s;
    EXPECT_FALSE(s.handle(peer.message(Kind::speed, s.sessionID)));
    expectSame(s, before);
}

TEST(ProtocolSessionTest, ClosedSessionRefusesEverything) {
    Peer peer;
    auto s = readySession(peer);
    for (auto state : {ConnectionState::cancelled, ConnectionState::failed, ConnectionState::idle,
                       ConnectionState::searching}) {
        s.machine.state = state;
        expectFailure(s, peer.message(Kind::power, s.sessionID),
                      ProtocolFailure::unexpectedMessage);
        expectFailure(s, peer.message(Kind::power, Uuid::random()),
                      ProtocolFailure::identityChanged);
    }
}

}  // namespace
}  // namespace sorvanta
