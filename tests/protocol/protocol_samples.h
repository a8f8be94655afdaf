#pragma once

// Valid records of every kind, for tests that then break one rule at a time.

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "protocol/control_message.h"
#include "protocol/ethernet_run_evidence.h"
#include "protocol/protocol_failure.h"
#include "protocol/speed_message.h"
#include "protocol/tcp_observation.h"
#include "protocol/udp_control.h"

namespace sorvanta::samples {

inline std::vector<std::uint8_t> token(std::size_t size = 32) {
    return std::vector<std::uint8_t>(size, 0xA5);
}

inline TCPObservation transport(const Uuid& run, const Uuid& sender) {
    TCPObservation t;
    t.run = run;
    t.session = Uuid::random();
    t.sender = sender;
    t.connection = Uuid::random();
    t.interface = "en7";
    t.interfaceIndex = 12;
    t.pathInterfaces = {"en7"};
    t.duration = 10.2;
    t.sent = 1'250'000'000;
    t.smoothedRTT = 0.0004;
    t.window = TCPSlice{2, 10, 1'200'000'000, 0};
    for (int i = 0; i < 12; ++i) {
        t.slices.push_back(TCPSlice{static_cast<double>(i), 1, 100'000'000, 0});
    }
    return t;
}

// Evidence that passes validation, with `links` link samples (at most 128).
inline EthernetRunEvidence evidence(const Uuid& run, const Uuid& session, std::size_t links = 2) {
    EthernetRunEvidence e;
    e.run = run;
    e.session = session;
    e.participant = Uuid::random();
    e.interface = "en7";
    e.interfaceIndex = 12;
    e.schema = 2;
    e.counterWidth = 32;
    e.counterAPI = "getifaddrs AF_LINK/if_data";
    e.linkAPI = "SIOCGIFXMEDIA; IORegistry kIOLinkStatus/kIOLinkSpeed";
    e.before.offset = 0;
    e.before.registryID = 4294971234;
    e.before.administrativeChange = "1733500000:250000";
    e.before.rxErrors = 0;
    e.before.txErrors = 0;
    e.before.inputDrops = 0;
    e.after = e.before;
    e.after->offset = 52.75;
    for (std::size_t i = 0; i < links; ++i) {
        EthernetLinkSample s;
        s.offset = 0.1 + static_cast<double>(i) * 0.4;
        s.active = true;
        s.rate = 1'000'000'000;
        s.fullDuplex = true;
        e.links.push_back(s);
    }
    e.lowPowerMode = false;
    return e;
}

// A complete three-second leg: 1000 datagrams offered at 75 % of the capacity, all received.
inline UDPObservation observation() {
    UDPObservation o;
    o.run = Uuid::random();
    o.session = Uuid::random();
    o.probe = Uuid::random();
    o.sender = Uuid::random();
    o.send.attempted = 1000;
    o.send.accepted = 1000;
    o.send.seconds = 3.0;
    o.send.maximumGap = 0.002;
    o.send.maximumInFlight = 4;
    o.capacity = 1000.0 * 1200 * 8 / 3.0 / 0.75;
    o.plannedSeconds = 3.0;
    o.unique = 1000;
    o.arrivalSpan = 2.9;
    o.tailSeconds = 1.0;
    o.jitter = 0.0001;
    o.senderPath = "en7";
    o.receiverPath = "en8";
    return o;
}

inline UDPControl udp(SpeedMessage::Kind kind) {
    UDPControl u;
    u.probe = Uuid::random();
    u.leg = 0;
    switch (kind) {
        case SpeedMessage::Kind::udpPrepare:
            u.port = 50123;
            u.token = token();
            break;
        case SpeedMessage::Kind::udpReady:
            u.path = "en7 satisfied";
            break;
        case SpeedMessage::Kind::udpProgress:
            u.progress = 1200;
            break;
        case SpeedMessage::Kind::udpSent:
            u.send = UDPSendSummary{};
            u.path = "en7 satisfied";
            break;
        case SpeedMessage::Kind::udpResult:
            u.result = observation();
            break;
        default:
            break;
    }
    return u;
}

inline SpeedSample finalSample() {
    SpeedSample s;
    s.bytes = 1'175'000'000;
    s.seconds = 10;
    s.rollingBps = 9.4e8;
    s.measuring = true;
    for (int i = 0; i < 10; ++i) {
        s.intervals.push_back(ThroughputInterval{2.0 + i, 3.0 + i, 117'500'000});
    }
    return s;
}

// A valid message of the given kind with the payload the kind calls for.
inline SpeedMessage speed(SpeedMessage::Kind kind) {
    using Kind = SpeedMessage::Kind;
    SpeedMessage m;
    m.kind = kind;
    m.run = Uuid::random();
    m.sender = Uuid::random();
    switch (kind) {
        case Kind::tcpReport:
            m.transport = transport(m.run, m.sender);
            break;
        case Kind::checkPrepare:
        case Kind::prepare:
            m.port = 50100;
            m.token = token();
            break;
        case Kind::checkWaiting:
        case Kind::checkFailed:
            m.issue = SetupIssue::timeout;
            break;
        case Kind::progress:
            m.sample = finalSample();
            m.sample->measuring = false;
            m.sample->seconds = 1.5;
            break;
        case Kind::result:
            m.sample = finalSample();
            break;
        case Kind::cancel:
            m.end = RunEndCause::stopped;
            break;
        case Kind::qualityFinish:
        case Kind::qualityAck:
            m.stage = 2;
            break;
        case Kind::advance:
            m.stage = 1;
            break;
        default:
            if (isUDP(kind)) {
                m.udp = udp(kind);
            }
            break;
    }
    return m;
}

inline ControlMessage control(ControlMessage::Kind kind) {
    using Kind = ControlMessage::Kind;
    ControlMessage m;
    m.kind = kind;
    m.session = Uuid::random();
    m.instance = Uuid::random();
    switch (kind) {
        case Kind::hello:
        case Kind::helloAck:
            m.name = "Studio";
            break;
        case Kind::probe:
            m.nonce = Uuid::random();
            m.payload = std::vector<std::uint8_t>(2048, 7);
            break;
        case Kind::probeAck:
            m.nonce = Uuid::random();
            m.length = 2048;
            m.digest = std::string(64, 'a');
            break;
        case Kind::error:
            m.reason = "Closing.";
            break;
        case Kind::speed:
            m.speed = speed(SpeedMessage::Kind::request);
            break;
        case Kind::power:
            m.lowPower = true;
            break;
    }
    return m;
}

}  // namespace sorvanta::samples

namespace sorvanta {
// Readable failures in test output.
inline void PrintTo(const ProtocolFailure& failure, std::ostream* out) {
    *out << failure.name();
}
}  // namespace sorvanta
