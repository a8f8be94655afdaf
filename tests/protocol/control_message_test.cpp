#include "protocol/control_message.h"

#include <gtest/gtest.h>

#include "protocol/protocol_failure.h"
#include "protocol/record_coding.h"
#include "protocol_samples.h"

namespace sorvanta {
namespace {

using Kind = ControlMessage::Kind;

std::optional<ProtocolFailure> failure(const ControlMessage& m) {
    try {
        m.validate();
        return std::nullopt;
    } catch (const ProtocolFailure& f) {
        return f;
    }
}

#define EXPECT_VALID(m) EXPECT_EQ(failure(m), std::nullopt)
#define EXPECT_MALFORMED(m) EXPECT_EQ(failure(m), ProtocolFailure::malformed)

const std::vector<Kind> allKinds{Kind::hello, Kind::helloAck, Kind::probe, Kind::probeAck,
                                 Kind::error, Kind::speed,    Kind::power};

TEST(ControlMessageTest, EveryKindPassesAndRoundTrips) {
    for (Kind kind : allKinds) {
        auto m = samples::control(kind);
        EXPECT_VALID(m) << json::enumName(kind);
        EXPECT_EQ(decodeRecord<ControlMessage>(encodeRecord(m)), m) << json::enumName(kind);
    }
    auto hello = samples::control(Kind::hello);
    hello.adapter = AdapterProfile{2'500'000'000, 1'000'000'000, "Realtek RTL8156", 480'000'000};
    hello.lowPower = false;
    EXPECT_VALID(hello);
    EXPECT_EQ(decodeRecord<ControlMessage>(encodeRecord(hello)), hello);
}

TEST(ControlMessageTest, JsonFormLeavesAbsentFieldsOutAndReadsLeniently) {
    auto hello = samples::control(Kind::hello);
    auto text = encodeRecord(hello);
    EXPECT_EQ(text.find("adapter"), std::string::npos);
    EXPECT_EQ(text.find("null"), std::string::npos);
    EXPECT_NE(text.find(hello.session.text()), std::string::npos);  // upper-case UUID text

    auto value = json::parse(text);
    value["unknownKey"] = "ignored";
    value["session"] = [&] {
        auto s = hello.session.text();
        std::transform(s.begin(), s.end(), s.begin(), ::tolower);
        return s;
    }();
    EXPECT_EQ(decodeRecord<ControlMessage>(json::dump(value)), hello);

    value["name"] = nullptr;  // null reads as absent, which a hello may not be
    auto nameless = decodeRecord<ControlMessage>(json::dump(value));
    EXPECT_EQ(nameless.name, std::nullopt);
    EXPECT_MALFORMED(nameless);

    for (const char* key : {"version", "kind", "session", "instance"}) {
        auto missing = json::parse(text);
        missing.erase(key);
        EXPECT_THROW(decodeRecord<ControlMessage>(json::dump(missing)), ProtocolFailure) << key;
    }
    auto badKind = json::parse(text);
    badKind["kind"] = "goodbye";
    EXPECT_THROW(decodeRecord<ControlMessage>(json::dump(badKind)), ProtocolFailure);
    auto probe = json::parse(encodeRecord(samples::control(Kind::probe)));
    EXPECT_EQ(probe["payload"].get<std::string>().substr(0, 4), "BwcH");  // Base64 of 07 07 07
}

TEST(ControlMessageTest, VersionIsCheckedFirst) {
    auto m = samples::control(Kind::hello);
    m.version = 8;
    m.name.reset();
    m.payload = std::vector<std::uint8_t>{};
    m.speed = samples::speed(SpeedMessage::Kind::request);
    EXPECT_EQ(failure(m), ProtocolFailure::incompatible);
    m = samples::control(Kind::power);
    m.version = 10;
    EXPECT_EQ(failure(m), ProtocolFailure::incompatible);
}

TEST(ControlMessageTest, SpeedAdapterAndLowPowerBelongToTheirKinds) {
    for (Kind kind : allKinds) {
        auto m = samples::control(kind);
        if (kind != Kind::speed) {
            m.speed = samples::speed(SpeedMessage::Kind::request);
            EXPECT_MALFORMED(m) << json::enumName(kind);
        }
        m = samples::control(kind);
        m.adapter = AdapterProfile{};
        EXPECT_EQ(failure(m), (kind == Kind::hello || kind == Kind::helloAck)
                                  ? std::nullopt
                                  : std::optional(ProtocolFailure::malformed))
            << json::enumName(kind);
        m = samples::control(kind);
        m.lowPower = true;
        EXPECT_EQ(failure(m), (kind == Kind::hello || kind == Kind::helloAck || kind == Kind::power)
                                  ? std::nullopt
                                  : std::optional(ProtocolFailure::malformed))
            << json::enumName(kind);
    }
    auto power = samples::control(Kind::power);
    power.lowPower.reset();
    EXPECT_MALFORMED(power);
    auto hello = samples::control(Kind::hello);
    hello.adapter = AdapterProfile{1'000'000'000, std::nullopt, std::nullopt, std::nullopt};
    EXPECT_MALFORMED(hello);  // the profile's own validation
}

TEST(ControlMessageTest, HelloNameBounds) {
    auto m = samples::control(Kind::helloAck);
    m.name = std::string(128, 'n');
    EXPECT_VALID(m);
    m.name = std::string(129, 'n');
    EXPECT_MALFORMED(m);
    std::string threeByte;
    for (int i = 0; i < 43; ++i) {
        threeByte += "\xE4\xB8\xAD";
    }
    m.name = threeByte;  // 43 characters, 129 bytes
    EXPECT_MALFORMED(m);
    m.name = threeByte.substr(3);
    EXPECT_VALID(m);
    m.name = "";
    EXPECT_MALFORMED(m);
    m.name = "Studio\n";
    EXPECT_MALFORMED(m);
    for (auto extra : {&ControlMessage::reason, &ControlMessage::digest}) {
        m = samples::control(Kind::hello);
        m.*extra = "x";
        EXPECT_MALFORMED(m);
    }
    m = samples::control(Kind::hello);
    m.nonce = Uuid::random();
    EXPECT_MALFORMED(m);
    m = samples::control(Kind::hello);
    m.length = 1;
    EXPECT_MALFORMED(m);
}

TEST(ControlMessageTest, ProbeAndAcknowledgementBounds) {
    auto probe = samples::control(Kind::probe);
    probe.payload->assign(4096, 1);
    EXPECT_VALID(probe);
    probe.payload->assign(4097, 1);
    EXPECT_MALFORMED(probe);
    probe.payload->clear();
    EXPECT_MALFORMED(probe);
    probe = samples::control(Kind::probe);
    probe.length = 2048;
    EXPECT_MALFORMED(probe);
    probe = samples::control(Kind::probe);
    probe.nonce.reset();
    EXPECT_MALFORMED(probe);
    probe = samples::control(Kind::probe);
    probe.name = "Studio";
    EXPECT_MALFORMED(probe);

    auto ack = samples::control(Kind::probeAck);
    ack.digest = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
    EXPECT_VALID(ack);
    ack.digest = "0123456789ABCDEF0123456789abcdef0123456789abcdef0123456789abcdef";
    EXPECT_MALFORMED(ack);
    ack.digest = std::string(63, 'a');
    EXPECT_MALFORMED(ack);
    ack.digest = std::string(65, 'a');
    EXPECT_MALFORMED(ack);
    ack.digest = std::string(63, 'a') + "g";
    EXPECT_MALFORMED(ack);
    for (std::int64_t length : {0, 4097, -1}) {
        ack = samples::control(Kind::probeAck);
        ack.length = length;
        EXPECT_MALFORMED(ack) << length;
    }
    ack = samples::control(Kind::probeAck);
    ack.length = 4096;
    EXPECT_VALID(ack);
    ack.payload = std::vector<std::uint8_t>{1};
    EXPECT_MALFORMED(ack);
}

TEST(ControlMessageTest, ErrorReasonIsBoundedOnly) {
    auto m = samples::control(Kind::error);
    m.reason = "tab\there";
    EXPECT_VALID(m);
    m.reason = std::string(128, 'r');
    EXPECT_VALID(m);
    m.reason = std::string(129, 'r');
    EXPECT_MALFORMED(m);
    m.reason = "";
    EXPECT_MALFORMED(m);
    m = samples::control(Kind::error);
    m.name = "Studio";
    EXPECT_MALFORMED(m);
}

TEST(ControlMessageTest, SpeedIsValidatedThenItsEvidenceSessionCompared) {
    auto m = samples::control(Kind::speed);
    m.speed.reset();
    EXPECT_MALFORMED(m);
    m = samples::control(Kind::speed);
    m.reason = "x";
    EXPECT_MALFORMED(m);

    auto finish = samples::speed(SpeedMessage::Kind::qualityFinish);
    finish.ethernet = samples::evidence(finish.run, Uuid::random());
    m = samples::control(Kind::speed);
    m.speed = finish;
    EXPECT_EQ(failure(m), ProtocolFailure::identityChanged);
    m.session = finish.ethernet->session;
    EXPECT_VALID(m);
    // The nested message's own failure comes before the session comparison.
    m.session = Uuid::random();
    m.speed->streams = 2;
    EXPECT_MALFORMED(m);
    // A result shorter than ten seconds is refused.
    m = samples::control(Kind::speed);
    m.speed = samples::speed(SpeedMessage::Kind::result);
    m.speed->sample->seconds = 9.5;
    EXPECT_MALFORMED(m);
}

}  // namespace
}  // namespace sorvanta
