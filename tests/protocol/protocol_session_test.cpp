#include "protocol/protocol_session.h"

#include <gtest/gtest.h>

#include <tuple>

#include "protocol_checks.h"

namespace sorvanta {
namespace {

using namespace checks;
using Kind = ControlMessage::Kind;

const AdapterProfile localProfile{2'500'000'000, 1'000'000'000, "Realtek RTL8156", 5'000'000'000};
const Uuid peer = Uuid::random();

ControlMessage from(const Uuid& instance, Kind kind, const Uuid& session) {
    auto m = samples::control(kind);
    m.session = session;
    m.instance = instance;
    return m;
}

ControlMessage fromPeer(Kind kind, const Uuid& session) {
    return from(peer, kind, session);
}

auto fields(const ProtocolSession& s) {
    return std::tie(s.localID, s.localName, s.initiator, s.expectedPeer, s.localAdapter,
                    s.sessionID, s.remoteID, s.remoteName, s.remoteAdapter, s.localLowPower,
                    s.remoteLowPower, s.machine, s.pendingProbe);
}

// Handles the message, expects `expected`, and checks that every field stayed as it was.
void expectFailure(ProtocolSession& session, const ControlMessage& m, ProtocolFailure expected) {
    const ProtocolSession before = session;
    EXPECT_EQ(failureOf([&] { session.handle(m); }), expected) << json::enumName(m.kind);
    EXPECT_TRUE(fields(session) == fields(before)) << "session changed by a failure";
}

ProtocolSession answering(bool lowPower = false,
                          std::optional<AdapterProfile> adapter = localProfile) {
    return {Uuid::random(), "Desk", false, std::nullopt, adapter, lowPower};
}

ProtocolSession ready() {
    auto s = answering();
    s.handle(fromPeer(Kind::hello, Uuid::random()));
    return s;
}

TEST(ProtocolSessionTest, AnsweringSideAdoptsTheSessionRecordsThePeerAndReplies) {
    EXPECT_NE(answering().sessionID, answering().sessionID);
    for (bool lowPower : {false, true}) {
        // Without a local adapter, and with a hello that carries no optional field; then with
        // both.
        auto adapter = lowPower ? std::optional(localProfile) : std::nullopt;
        auto s = answering(lowPower, adapter);
        EXPECT_EQ(s.machine.state, ConnectionState::connecting);
        s.remoteLowPower = false;  // absent in the hello: the recorded value follows it
        const Uuid session = Uuid::random();
        auto hello = fromPeer(Kind::hello, session);
        if (lowPower) {
            hello.lowPower = true;
            hello.adapter = AdapterProfile{1'000'000'000, 1'000'000'000, "Realtek RTL8153", {}};
        }
        auto reply = s.handle(hello);
        EXPECT_EQ(s.machine.state, ConnectionState::ready);
        EXPECT_EQ(s.sessionID, session);
        EXPECT_EQ(s.remoteID, peer);
        EXPECT_EQ(s.remoteName, "Studio");
        EXPECT_EQ(s.remoteAdapter, hello.adapter);
        EXPECT_EQ(s.remoteLowPower, hello.lowPower);
        auto expected = from(s.localID, Kind::helloAck, session);
        expected.name = "Desk";
        expected.adapter = adapter;
        expected.lowPower = lowPower;
        EXPECT_EQ(reply, expected);
    }
}

TEST(ProtocolSessionTest, DiallingSideAcceptsOnlyAnAckOfItsOwnSession) {
    ProtocolSession s(Uuid::random(), "Desk", true, peer, std::nullopt, false);
    expectFailure(s, fromPeer(Kind::helloAck, Uuid::random()), ProtocolFailure::identityChanged);
    // The kind is checked before the session.
    expectFailure(s, fromPeer(Kind::hello, Uuid::random()), ProtocolFailure::unexpectedMessage);
    EXPECT_EQ(s.handle(fromPeer(Kind::helloAck, s.sessionID)), std::nullopt);
    EXPECT_EQ(s.machine.state, ConnectionState::ready);
    EXPECT_EQ(s.remoteID, peer);
}

TEST(ProtocolSessionTest, RefusesInOrderDuringAndAfterTheHandshake) {
    auto s = answering();
    for (Kind kind : {Kind::helloAck, Kind::probe, Kind::power, Kind::speed, Kind::error}) {
        expectFailure(s, fromPeer(kind, Uuid::random()), ProtocolFailure::unexpectedMessage);
    }
    // Validation first, then the self check, then the expected peer.
    auto own = from(s.localID, Kind::hello, Uuid::random());
    own.version = 8;
    expectFailure(s, own, ProtocolFailure::incompatible);
    ProtocolSession expecting(Uuid::random(), "Desk", false, Uuid::random(), std::nullopt, false);
    expectFailure(expecting, from(expecting.localID, Kind::helloAck, Uuid::random()),
                  ProtocolFailure::selfConnection);
    expectFailure(expecting, fromPeer(Kind::hello, Uuid::random()),
                  ProtocolFailure::identityChanged);

    s = ready();
    const Uuid session = s.sessionID;
    expectFailure(s, from(s.localID, Kind::power, session), ProtocolFailure::selfConnection);
    expectFailure(s, from(Uuid::random(), Kind::power, session), ProtocolFailure::identityChanged);
    expectFailure(s, fromPeer(Kind::hello, Uuid::random()), ProtocolFailure::identityChanged);
    for (Kind kind : {Kind::hello, Kind::helloAck, Kind::error}) {
        expectFailure(s, fromPeer(kind, session), ProtocolFailure::unexpectedMessage);
    }
    for (auto state :
         {ConnectionState::cancelled, ConnectionState::failed, ConnectionState::idle}) {
        s.machine.state = state;
        expectFailure(s, fromPeer(Kind::power, session), ProtocolFailure::unexpectedMessage);
        expectFailure(s, fromPeer(Kind::power, Uuid::random()), ProtocolFailure::identityChanged);
    }
}

TEST(ProtocolSessionTest, ProbesAreAnsweredWithTheirDigest) {
    auto s = ready();
    auto probe = fromPeer(Kind::probe, s.sessionID);
    const ProtocolSession before = s;
    auto reply = s.handle(probe);
    EXPECT_TRUE(fields(s) == fields(before));

    auto expected = from(s.localID, Kind::probeAck, s.sessionID);
    expected.nonce = probe.nonce;
    expected.length = 2048;
    expected.digest = ProtocolSession::digest(*probe.payload);
    EXPECT_EQ(reply, expected);
    const std::string abc = "abc";
    EXPECT_EQ(ProtocolSession::digest(std::vector<std::uint8_t>(abc.begin(), abc.end())),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(ProtocolSessionTest, AcknowledgementsNeedTheMatchingPendingProbe) {
    auto s = ready();
    expectFailure(s, fromPeer(Kind::probeAck, s.sessionID), ProtocolFailure::badProbe);

    s.pendingProbe = from(s.localID, Kind::probe, s.sessionID);
    s.machine.state = ConnectionState::probing;
    auto ack = fromPeer(Kind::probeAck, s.sessionID);
    ack.nonce = s.pendingProbe->nonce;
    ack.length = 2048;
    ack.digest = ProtocolSession::digest(*s.pendingProbe->payload);
    for (auto change : std::vector<void (*)(ControlMessage&)>{
             [](auto& m) { m.nonce = Uuid::random(); },
             [](auto& m) { m.length = 2047; },
             [](auto& m) { m.digest = std::string(64, '0'); },
         }) {
        auto wrong = ack;
        change(wrong);
        expectFailure(s, wrong, ProtocolFailure::badProbe);
    }
    EXPECT_EQ(s.handle(ack), std::nullopt);
    EXPECT_EQ(s.machine.state, ConnectionState::ready);
    EXPECT_EQ(s.pendingProbe, std::nullopt);
    expectFailure(s, ack, ProtocolFailure::badProbe);  // answered once only
}

TEST(ProtocolSessionTest, PowerUpdatesAndSpeedPassesThrough) {
    auto s = ready();
    for (bool on : {true, false}) {
        auto power = fromPeer(Kind::power, s.sessionID);
        power.lowPower = on;
        EXPECT_EQ(s.handle(power), std::nullopt);
        EXPECT_EQ(s.remoteLowPower, on);
    }
    const ProtocolSession before = s;
    EXPECT_EQ(s.handle(fromPeer(Kind::speed, s.sessionID)), std::nullopt);
    EXPECT_TRUE(fields(s) == fields(before));
}

}  // namespace
}  // namespace sorvanta
