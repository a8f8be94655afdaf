#include "protocol/speed_message.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "protocol/protocol_failure.h"
#include "protocol/record_coding.h"
#include "protocol_samples.h"

namespace sorvanta {
namespace {

using Kind = SpeedMessage::Kind;

std::vector<Kind> allKinds() {
    std::vector<Kind> kinds;
    for (int i = 0; i < 34; ++i) {
        kinds.push_back(static_cast<Kind>(i));
    }
    return kinds;
}

// The failure `validate(10)` throws, or nullopt when the message passes.
std::optional<ProtocolFailure> failure(const SpeedMessage& m, double minimumSeconds = 10) {
    try {
        m.validate(minimumSeconds);
        return std::nullopt;
    } catch (const ProtocolFailure& f) {
        return f;
    }
}

#define EXPECT_VALID(m) EXPECT_EQ(failure(m), std::nullopt)
#define EXPECT_MALFORMED(m) EXPECT_EQ(failure(m), ProtocolFailure::malformed)

TEST(SpeedMessageKindTest, OrdinalsNamesAndUDPKinds) {
    EXPECT_EQ(json::enumName(Kind::tcpReport), "tcpReport");
    EXPECT_EQ(static_cast<int>(Kind::qualityUnavailable), 6);
    EXPECT_EQ(static_cast<int>(Kind::qualityFinish), 13);
    EXPECT_EQ(static_cast<int>(Kind::checkPrepare), 16);
    EXPECT_EQ(static_cast<int>(Kind::request), 21);
    EXPECT_EQ(static_cast<int>(Kind::cancel), 27);
    EXPECT_EQ(json::enumName(Kind::advance), "advance");
    EXPECT_EQ(static_cast<int>(Kind::advance), 33);
    for (Kind kind : allKinds()) {
        int i = static_cast<int>(kind);
        EXPECT_EQ(isUDP(kind), i >= 7 && i <= 12) << i;
        EXPECT_EQ(json::enumFromName<Kind>(json::enumName(kind)), kind);
    }
    EXPECT_EQ(json::enumFromName<Kind>("Request"), std::nullopt);
    EXPECT_EQ(json::enumFromName<Kind>("udpack"), std::nullopt);
}

TEST(SpeedMessageCodingTest, EveryKindRoundTripsAndPasses) {
    for (Kind kind : allKinds()) {
        auto m = samples::speed(kind);
        EXPECT_VALID(m) << json::enumName(kind);
        EXPECT_EQ(decodeRecord<SpeedMessage>(encodeRecord(m)), m) << json::enumName(kind);
    }
    auto finish = samples::speed(Kind::qualityFinish);
    finish.ethernet = samples::evidence(finish.run, Uuid::random(), 128);
    finish.qualityReason = "Limited.";
    EXPECT_EQ(decodeRecord<SpeedMessage>(encodeRecord(finish)), finish);
}

TEST(SpeedMessageCodingTest, RequestWritesExactlyTheEightFixedKeys) {
    auto value = json::parse(encodeRecord(samples::speed(Kind::request)));
    std::vector<std::string> keys;
    for (const auto& item : value.items()) {
        keys.push_back(item.key());
    }
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(keys, (std::vector<std::string>{"kind", "measurementMilliseconds", "profile", "run",
                                              "sender", "stage", "streams", "warmupMilliseconds"}));
}

TEST(SpeedMessageCodingTest, DecodingIsStrictAboutKindsTypesAndRequiredKeys) {
    auto base = json::parse(encodeRecord(samples::speed(Kind::request)));
    auto with = [&](const char* key, json::Value v) {
        auto copy = base;
        copy[key] = std::move(v);
        return json::dump(copy);
    };
    auto without = [&](const char* key) {
        auto copy = base;
        copy.erase(key);
        return json::dump(copy);
    };
    EXPECT_THROW(decodeRecord<SpeedMessage>(with("kind", "Request")), ProtocolFailure);
    EXPECT_THROW(decodeRecord<SpeedMessage>(with("kind", "hello")), ProtocolFailure);
    EXPECT_THROW(decodeRecord<SpeedMessage>(with("port", 65536)), ProtocolFailure);
    EXPECT_THROW(decodeRecord<SpeedMessage>(with("token", "not base64!")), ProtocolFailure);
    EXPECT_THROW(decodeRecord<SpeedMessage>(with("end", "Stopped")), ProtocolFailure);
    for (const char* key : {"kind", "run", "sender", "profile", "stage", "streams",
                            "warmupMilliseconds", "measurementMilliseconds"}) {
        EXPECT_THROW(decodeRecord<SpeedMessage>(without(key)), ProtocolFailure) << key;
    }
    EXPECT_EQ(decodeRecord<SpeedMessage>(with("end", "stopped")).end, RunEndCause::stopped);
    EXPECT_EQ(decodeRecord<SpeedMessage>(with("end", nullptr)).end, std::nullopt);
    EXPECT_EQ(decodeRecord<SpeedMessage>(with("futureField", 12)),
              decodeRecord<SpeedMessage>(json::dump(base)));
}

TEST(SpeedMessageCodingTest, OwnUnwritableValuesAreErrorsNotDrops) {
    // A non-finite number cannot be written as JSON: the caller gets an error rather than a
    // message with the field silently left out or written as null.
    auto result = samples::speed(Kind::result);
    result.sample->rollingBps = std::nan("");
    EXPECT_THROW(encodeRecord(result), json::EncodeError);
    auto report = samples::speed(Kind::tcpReport);
    report.transport->duration = std::numeric_limits<double>::infinity();
    EXPECT_THROW(encodeRecord(report), json::EncodeError);
    ControlMessage carrier = samples::control(ControlMessage::Kind::speed);
    carrier.speed = result;
    EXPECT_THROW(encodeRecord(carrier), json::EncodeError);
}

TEST(SpeedMessageCodingTest, DifferencesInsideNestedRecordsCount) {
    auto a = samples::speed(Kind::udpProgress);
    auto b = a;
    EXPECT_EQ(a, b);
    b.udp->progress = *a.udp->progress + 1;
    EXPECT_NE(a, b);
}

TEST(SpeedMessageValidationTest, FixedShapeOfTheRun) {
    auto m = samples::speed(Kind::request);
    m.stage = 2;
    EXPECT_VALID(m);
    for (auto [profile, stage] : std::vector<std::pair<QuickProfile, std::int64_t>>{
             {QuickProfile::quick, 3}, {QuickProfile::forward, 1}, {QuickProfile::quick, -1}}) {
        m.profile = profile;
        m.stage = stage;
        EXPECT_MALFORMED(m);
    }
    for (Kind kind : allKinds()) {
        auto streams = samples::speed(kind);
        streams.streams = 2;
        EXPECT_MALFORMED(streams) << json::enumName(kind);
        auto warmup = samples::speed(kind);
        warmup.warmupMilliseconds = 1999;
        EXPECT_MALFORMED(warmup);
        auto measurement = samples::speed(kind);
        measurement.measurementMilliseconds = 10001;
        EXPECT_MALFORMED(measurement);
    }
}

TEST(SpeedMessageValidationTest, IssueOnlyOnWaitingAndFailedChecksAtStageZero) {
    auto waiting = samples::speed(Kind::checkWaiting);
    waiting.issue.reset();
    EXPECT_MALFORMED(waiting);
    auto request = samples::speed(Kind::request);
    request.issue = SetupIssue::refused;
    EXPECT_MALFORMED(request);
    for (Kind kind : {Kind::checkPrepare, Kind::checkReady, Kind::checkStart, Kind::checkWaiting,
                      Kind::checkFailed}) {
        auto m = samples::speed(kind);
        m.stage = 1;
        EXPECT_MALFORMED(m) << json::enumName(kind);
    }
    auto start = samples::speed(Kind::start);
    start.stage = 1;
    EXPECT_VALID(start);
}

TEST(SpeedMessageValidationTest, TransportAndUDPBelongToTheirKinds) {
    auto report = samples::speed(Kind::tcpReport);
    report.transport->sent = 0;  // content is checked when merged, not here
    EXPECT_VALID(report);
    report.transport.reset();
    EXPECT_MALFORMED(report);
    auto progress = samples::speed(Kind::progress);
    progress.transport = samples::transport(progress.run, progress.sender);
    EXPECT_MALFORMED(progress);

    for (Kind kind : allKinds()) {
        auto m = samples::speed(kind);
        if (isUDP(kind)) {
            m.udp.reset();
        } else {
            m.udp = samples::udp(Kind::udpAck);
        }
        EXPECT_MALFORMED(m) << json::enumName(kind);
    }
}

TEST(SpeedMessageValidationTest, QualityReasonBoundsAndKinds) {
    auto m = samples::speed(Kind::qualityFinish);
    m.qualityReason = std::string(256, 'q');
    EXPECT_VALID(m);
    m.qualityReason = std::string(257, 'q');
    EXPECT_MALFORMED(m);
    m.qualityReason = std::string(255, 'q') + "\xC3\xA9";
    EXPECT_MALFORMED(m);
    m.qualityReason = std::string(254, 'q') + "\xC3\xA9";
    EXPECT_VALID(m);
    m.qualityReason = "";
    EXPECT_VALID(m);
    m.qualityReason = "two\nlines";
    EXPECT_MALFORMED(m);
    auto unavailable = samples::speed(Kind::qualityUnavailable);
    unavailable.qualityReason = "UDP path unavailable.";
    EXPECT_VALID(unavailable);
    auto ack = samples::speed(Kind::qualityAck);
    ack.qualityReason = "";
    EXPECT_MALFORMED(ack);
}

TEST(SpeedMessageValidationTest, EndAndEndDetailOnlyOnCancel) {
    auto cancel = samples::speed(Kind::cancel);
    EXPECT_VALID(cancel);
    cancel.endDetail = std::string(256, 'd');
    EXPECT_VALID(cancel);
    cancel.endDetail = std::string(257, 'd');
    EXPECT_MALFORMED(cancel);
    cancel.endDetail = "tab\there";
    EXPECT_MALFORMED(cancel);
    cancel.endDetail.reset();
    cancel.end.reset();
    EXPECT_MALFORMED(cancel);
    auto reject = samples::speed(Kind::reject);
    reject.endDetail = "Busy.";
    EXPECT_MALFORMED(reject);
    reject.endDetail.reset();
    reject.end = RunEndCause::tester;
    EXPECT_MALFORMED(reject);
}

TEST(SpeedMessageValidationTest, EthernetEvidenceRules) {
    auto base = samples::speed(Kind::qualityFinish);
    base.ethernet = samples::evidence(base.run, Uuid::random(), 128);
    EXPECT_VALID(base);
    auto ack = samples::speed(Kind::qualityAck);
    ack.ethernet = samples::evidence(ack.run, Uuid::random());
    EXPECT_VALID(ack);

    auto m = base;
    m.kind = Kind::qualityCommit;
    EXPECT_MALFORMED(m);
    m = base;
    m.profile = QuickProfile::duplex;
    m.stage = 0;
    EXPECT_MALFORMED(m);
    m = base;
    m.stage = 1;
    EXPECT_MALFORMED(m);
    m = base;
    m.ethernet->after.reset();
    EXPECT_MALFORMED(m);
    m = base;
    m.ethernet->run = Uuid::random();  // evidence of another run
    EXPECT_MALFORMED(m);
    m = base;
    m.ethernet->interfaceIndex = 0;  // the evidence's own validation passes through
    EXPECT_MALFORMED(m);
}

TEST(SpeedMessageValidationTest, EncodedEvidenceSizeBound) {
    EXPECT_NO_THROW(SpeedMessage::checkEvidenceLength(SpeedMessage::maximumEvidenceBytes));
    try {
        SpeedMessage::checkEvidenceLength(SpeedMessage::maximumEvidenceBytes + 1);
        ADD_FAILURE() << "no failure";
    } catch (const ProtocolFailure& f) {
        EXPECT_EQ(f, ProtocolFailure::invalidLength);
    }
    // The largest evidence that passes its own validation still fits the bound: full link
    // series with the longest offsets and the longest texts, escaped as they encode.
    auto m = samples::speed(Kind::qualityFinish);
    m.ethernet = samples::evidence(m.run, Uuid::random(), 128);
    auto& e = *m.ethernet;
    e.interface = std::string(64, 'e');
    e.coverageReason = std::string(256, '\x01');
    e.adapter =
        AdapterProfile{400'000'000'000, 400'000'000'000, std::string(64, '\x01'), 200'000'000'000};
    for (auto* reading : {&e.before, &*e.after}) {
        reading->administrativeChange = std::string(64, '\x01');
        reading->reason = std::string(256, '\x01');
        reading->registryID = UINT64_MAX;
    }
    for (std::size_t i = 0; i < e.links.size(); ++i) {
        e.links[i].offset = 1.2345678901234567e-05 + static_cast<double>(i) * 0.97;
        e.links[i].rate = UINT64_MAX;
        e.links[i].fullDuplex = false;
    }
    e.adapter->chip = std::string(64, 'c');  // chip names must be safe text
    EXPECT_VALID(m);
    EXPECT_LE(encodeRecord(e).size(), SpeedMessage::maximumEvidenceBytes);
}

TEST(SpeedMessageValidationTest, UDPRecordIsValidatedThenItsPartsFollowTheKind) {
    auto prepare = samples::speed(Kind::udpPrepare);
    prepare.udp->leg = 2;
    EXPECT_MALFORMED(prepare);
    prepare = samples::speed(Kind::udpPrepare);
    prepare.udp->token = samples::token(31);
    EXPECT_MALFORMED(prepare);

    // Adding any part a kind must not carry, or removing one it must, is malformed.
    struct Part {
        const char* name;
        std::function<bool(const UDPControl&)> has;
        std::function<void(UDPControl&, bool)> set;
    };
    const std::vector<Part> parts{
        {"port", [](const UDPControl& u) { return u.port.has_value(); },
         [](UDPControl& u, bool on) {
             u.port = on ? std::optional<std::uint16_t>(9) : std::nullopt;
         }},
        {"token", [](const UDPControl& u) { return u.token.has_value(); },
         [](UDPControl& u, bool on) {
             u.token = on ? std::optional(samples::token()) : std::nullopt;
         }},
        {"progress", [](const UDPControl& u) { return u.progress.has_value(); },
         [](UDPControl& u, bool on) {
             u.progress = on ? std::optional<std::int64_t>(1) : std::nullopt;
         }},
        {"send", [](const UDPControl& u) { return u.send.has_value(); },
         [](UDPControl& u, bool on) {
             u.send = on ? samples::udp(Kind::udpSent).send : std::nullopt;
         }},
        {"result", [](const UDPControl& u) { return u.result.has_value(); },
         [](UDPControl& u, bool on) {
             u.result = on ? samples::udp(Kind::udpResult).result : std::nullopt;
         }},
        {"path", [](const UDPControl& u) { return u.path.has_value(); },
         [](UDPControl& u, bool on) {
             u.path = on ? std::optional<std::string>("") : std::nullopt;
         }},
    };
    for (Kind kind : {Kind::udpPrepare, Kind::udpReady, Kind::udpProgress, Kind::udpSent,
                      Kind::udpResult, Kind::udpAck}) {
        for (const auto& part : parts) {
            auto m = samples::speed(kind);
            part.set(*m.udp, !part.has(*m.udp));
            EXPECT_MALFORMED(m) << json::enumName(kind) << " " << part.name;
        }
    }
    auto sent = samples::speed(Kind::udpSent);
    sent.udp->path.reset();
    EXPECT_MALFORMED(sent);
    auto ack = samples::speed(Kind::udpAck);
    ack.udp->path = "en7";
    EXPECT_MALFORMED(ack);
}

TEST(SpeedMessageValidationTest, PortTokenAndSampleFollowTheKind) {
    for (Kind kind : {Kind::checkPrepare, Kind::prepare}) {
        auto m = samples::speed(kind);
        m.port = 0;
        EXPECT_MALFORMED(m);
        m = samples::speed(kind);
        m.port.reset();
        EXPECT_MALFORMED(m);
        for (std::size_t size : {31u, 33u, 0u}) {
            m = samples::speed(kind);
            m.token = samples::token(size);
            EXPECT_MALFORMED(m) << size;
        }
        m = samples::speed(kind);
        m.token.reset();
        EXPECT_MALFORMED(m);
        m = samples::speed(kind);
        m.sample = samples::finalSample();
        EXPECT_MALFORMED(m);
    }
    auto progress = samples::speed(Kind::progress);
    EXPECT_VALID(progress);
    auto result = progress;
    result.kind = Kind::result;
    EXPECT_MALFORMED(result);  // a warm-up sample is no final result
    result = samples::speed(Kind::result);
    result.sample->seconds = 5;
    EXPECT_MALFORMED(result);
    EXPECT_EQ(failure(result, 5), std::nullopt);  // minimumSeconds is handed through
    result = samples::speed(Kind::result);
    result.sample.reset();
    EXPECT_MALFORMED(result);
    progress.sample->intervals.assign(65, ThroughputInterval{});
    EXPECT_MALFORMED(progress);
    progress = samples::speed(Kind::progress);
    progress.port = 5000;
    EXPECT_MALFORMED(progress);
    progress = samples::speed(Kind::progress);
    progress.token = samples::token();
    EXPECT_MALFORMED(progress);

    for (Kind kind : allKinds()) {
        if (kind == Kind::checkPrepare || kind == Kind::prepare || kind == Kind::progress ||
            kind == Kind::result) {
            continue;
        }
        auto port = samples::speed(kind);
        port.port = 5000;
        EXPECT_MALFORMED(port) << json::enumName(kind);
        auto token = samples::speed(kind);
        token.token = samples::token();
        EXPECT_MALFORMED(token) << json::enumName(kind);
        auto sample = samples::speed(kind);
        sample.sample = samples::finalSample();
        EXPECT_MALFORMED(sample) << json::enumName(kind);
    }
}

}  // namespace
}  // namespace sorvanta
