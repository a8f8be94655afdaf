#pragma once

// A complete, healthy quick run between two Macs on a 1 Gbit/s link, with fixed identities
// so that report texts are stable; tests change one thing at a time.

#include <cmath>
#include <string>

#include "assessment/verdict/lower_rate_plan.h"
#include "protocol/service_snapshot.h"

namespace sorvanta::fixture {

inline Uuid id(const char* text) {
    return *Uuid::parse(text);
}

inline const Uuid macA = id("AAAAAAAA-0000-4000-8000-000000000001");
inline const Uuid macB = id("BBBBBBBB-0000-4000-8000-000000000002");
inline const Uuid run = id("5EED0000-0000-4000-8000-000000000003");
inline const Uuid session = id("5E550000-0000-4000-8000-000000000004");

// A fixed identifier that reads as `tag` … `number`.
inline Uuid numbered(std::uint8_t tag, std::int64_t number) {
    return Uuid(Uuid::Bytes{tag, 0, 0, 0, 0, 0, 0x40, 0, 0x80, 0, 0, 0, 0, 0, 0,
                            static_cast<std::uint8_t>(number)});
}

// Ten one-second intervals at `bps`, final and measuring.
inline SpeedSample sample(double bps) {
    SpeedSample s;
    const auto perSecond = static_cast<std::uint64_t>(bps / 8);
    s.bytes = perSecond * 10;
    s.seconds = 10;
    s.measuring = true;
    for (int i = 0; i < 10; ++i) {
        s.intervals.push_back({double(i), double(i + 1), perSecond});
    }
    return s;
}

inline DirectionMeasurement direction(const Uuid& sender, double bps, std::int64_t stage,
                                      int connection) {
    DirectionMeasurement d;
    d.sender = sender;
    d.label = sender == macA ? "Studio \u2192 Mini" : "Mini \u2192 Studio";
    d.sample = sample(bps);
    d.complete = true;
    d.path = "eth0 (index 2), wired";
    TCPObservation& t = d.transport.emplace();
    t.run = run;
    t.session = session;
    t.sender = sender;
    t.stage = stage;
    t.connection = numbered(0xC0, connection);
    t.interface = "eth0";
    t.interfaceIndex = 2;
    t.pathInterfaces = {"eth0"};
    t.duration = 12.5;
    t.sent = d.sample->bytes + 250'000'000;
    t.smoothedRTT = 0.0004;
    t.minimumRTT = 0.0001;
    t.rttVariance = 0.00005;
    t.window = TCPSlice{2.25, 10, d.sample->bytes, 0};
    for (int i = 0; i < 3; ++i) {
        t.slices.push_back({2.25 + i, 1, d.sample->bytes / 10, 0});
    }
    return d;
}

inline EthernetRunEvidence evidence(const Uuid& participant) {
    EthernetRunEvidence e;
    e.run = run;
    e.session = session;
    e.participant = participant;
    e.interface = "eth0";
    e.interfaceIndex = 2;
    e.before.offset = 0.5;
    e.before.registryID = 4242;
    e.before.administrativeChange = "1733500000:250000";
    e.before.rxErrors = 12;
    e.before.txErrors = 0;
    e.before.inputDrops = 3;
    e.after = e.before;
    e.after->offset = 52.75;
    for (double offset : {0.5, 25.0, 52.5}) {
        e.links.push_back({offset, true, 1'000'000'000, true});
    }
    e.adapter = AdapterProfile{2'500'000'000, 1'000'000'000, "Realtek RTL8156B", 5'000'000'000};
    e.lowPowerMode = false;
    return e;
}

// A clean three-second first attempt of `leg`, paced at 75 % of `capacity`.
inline UDPObservation leg(std::int64_t legIndex, const Uuid& sender, double capacity) {
    UDPObservation o;
    o.run = run;
    o.session = session;
    o.probe = numbered(0x9B, legIndex);
    o.sender = sender;
    o.leg = legIndex;
    o.capacity = capacity;
    o.plannedSeconds = 3.0;
    o.send.accepted = static_cast<std::int64_t>(std::floor(capacity * 0.75 * 3.0 / 9600.0));
    o.send.attempted = o.send.accepted;
    o.send.seconds = 3.0;
    o.send.measurementStart = 0.5;
    o.send.measurementEnd = 3.5;
    o.send.firstSubmission = 0.5;
    o.send.lastSubmission = 3.4;
    o.send.maximumGap = 0.002;
    o.send.maximumInFlight = 16;
    o.unique = o.send.accepted;
    o.receiveCoverage = UDPReceiveCoverage{3000, 0.003, 0, 0.45, 3.55};
    UDPQueueDelay& q = o.queueDelay.emplace();
    q.samples = 100;
    q.total = 0.025;
    q.maximum = 0.0015;
    q.buckets = {60, 30, 10, 0, 0, 0, 0};
    o.arrivalSpan = 2.99;
    o.tailSeconds = 0.6;
    o.jitter = 0.00002;
    o.maximumJitter = 0.0004;
    o.senderPath = "eth0 \u2192 169.254.0.2";
    o.receiverPath = "eth0 \u2190 169.254.0.1";
    o.unexplainedHoles = 0;
    return o;
}

// Forward and reverse at 940 and 930 Mbit/s, duplex at 935 and 925 Mbit/s.
inline SpeedSnapshot completeRun() {
    SpeedSnapshot s;
    s.phase = SpeedSnapshot::Phase::complete;
    s.armed = true;
    s.run = run;
    s.initiator = macA;
    s.stage = 2;
    s.stages = {
        {0, QuickStage::forward, {direction(macA, 940e6, 0, 1)}},
        {1, QuickStage::reverse, {direction(macB, 930e6, 1, 2)}},
        {2, QuickStage::duplex, {direction(macA, 935e6, 2, 3), direction(macB, 925e6, 2, 4)}},
    };
    s.preparation.required = true;
    s.preparation.localVerified = s.preparation.peerVerified = s.preparation.peerReady = true;
    s.preparation.complete = s.preparation.bulkStarted = true;
    s.preparation.peerName = "Mini";
    s.preparation.trace = {"Check Studio \u2192 Mini verified",
                           "Check Mini \u2192 Studio verified"};
    s.quality.session = session;
    s.quality.ethernet = {evidence(macA), evidence(macB)};
    s.quality.udp = {leg(0, macA, 935e6), leg(1, macB, 925e6)};
    s.quality.complete = true;
    s.status = "Test complete.";
    return s;
}

// Sets the rate of one direction (stage index, position) without touching its report.
inline void setRate(SpeedSnapshot& s, std::size_t stage, std::size_t position, double bps) {
    auto& d = s.stages[stage].directions[position];
    d.sample = sample(bps);
}

// Leg 0's first attempt lost `lost` datagrams that the receiver's own backlog explains.
inline void receiverDropped(SpeedSnapshot& s, std::int64_t lost) {
    auto& first = s.quality.udp[0];
    first.unique -= lost;
    first.unexplainedHoles = 0;
}

// Appends the clean lower-rate re-run of leg 0 that its first attempt plans, its capacity
// moved by `offset`.
inline void rerun(SpeedSnapshot& s, double offset = 0) {
    const auto plan = *lowerRatePlan(s.quality.udp[0], 50e6);
    UDPObservation second = leg(0, macA, plan.capacity + offset);
    second.attempt = 1;
    second.plannedSeconds = plan.plannedSeconds;
    second.send.accepted = second.send.attempted =
        static_cast<std::int64_t>(plan.capacity * 0.75 * plan.plannedSeconds / 9600);
    second.unique = second.send.accepted;
    second.send.seconds = plan.plannedSeconds;
    second.send.measurementEnd = *second.send.measurementStart + plan.plannedSeconds;
    second.arrivalSpan = plan.plannedSeconds - 0.01;
    second.receiveCoverage->last = 0.45 + plan.plannedSeconds + 0.1;
    s.quality.udp.push_back(second);
}

// A snapshot of a fresh run in `phase`, otherwise empty.
inline ServiceSnapshot runIn(SpeedSnapshot::Phase phase, bool busy = false) {
    ServiceSnapshot s;
    s.speed.run = Uuid::random();
    s.speed.phase = phase;
    s.speed.busy = busy;
    return s;
}

}  // namespace sorvanta::fixture
