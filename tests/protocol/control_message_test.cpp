#include "protocol/control_message.h"

#include <gtest/gtest.h>

#include <functional>
#include <type_traits>

#include "protocol/record_coding.h"
#include "protocol_checks.h"

namespace sorvanta {
namespace {

using namespace checks;
using Kind = ControlMessage::Kind;
using Change = std::function<void(ControlMessage&)>;

const std::vector<Kind> allKinds{Kind::hello, Kind::helloAck, Kind::probe, Kind::probeAck,
                                 Kind::error, Kind::speed,    Kind::power};

// The validation failure of the sample of `kind` after `change`.
std::optional<ProtocolFailure> after(Kind kind, const Change& change) {
    auto m = samples::control(kind);
    change(m);
    return validation(m);
}

// Adds each optional field to a kind that lacks it, or takes it from one that has it.
const std::vector<Change> toggles{
    [](auto& m) { toggle(m.name, "Studio"); },
    [](auto& m) { toggle(m.nonce, Uuid::random()); },
    [](auto& m) { toggle(m.payload, std::vector<std::uint8_t>(16, 1)); },
    [](auto& m) { toggle(m.length, 16); },
    [](auto& m) { toggle(m.digest, std::string(64, 'a')); },
    [](auto& m) { toggle(m.reason, "x"); },
    [](auto& m) { toggle(m.speed, samples::speed(SpeedMessage::Kind::request)); },
    [](auto& m) { toggle(m.adapter, AdapterProfile{}); },
    [](auto& m) { toggle(m.lowPower, true); },
};

TEST(ControlMessageTest, JsonForm) {
    for (Kind kind : allKinds) {
        auto m = samples::control(kind);
        if (kind == Kind::hello) {
            m.adapter =
                AdapterProfile{2'500'000'000, 1'000'000'000, "Realtek RTL8156", 480'000'000};
            m.lowPower = false;
        }
        EXPECT_EQ(validation(m), passes) << json::enumName(kind);
        EXPECT_EQ(decodeRecord<ControlMessage>(encodeRecord(m)), m) << json::enumName(kind);
    }
    auto text = encodeRecord(samples::control(Kind::hello));
    EXPECT_EQ(text.find("adapter"), std::string::npos);  // absent fields are left out
    EXPECT_EQ(text.find("null"), std::string::npos);
    for (const char* key : {"version", "kind", "session", "instance"}) {
        auto missing = json::parse(text);
        missing.erase(key);
        EXPECT_EQ(failureOf([&] { decodeRecord<ControlMessage>(json::dump(missing)); }), malformed)
            << key;
    }
}

TEST(ControlMessageTest, VersionIsCheckedFirst) {
    auto m = samples::control(Kind::hello);
    for (const auto& change : toggles) {
        change(m);
    }
    m.version = 8;
    EXPECT_EQ(validation(m), ProtocolFailure::incompatible);
    EXPECT_EQ(after(Kind::power, [](auto& m) { m.version = 10; }), ProtocolFailure::incompatible);
}

// Only hello and helloAck may go without one of their optional fields: the adapter and the
// Low Power state. Every other field is required by the kinds that name it and refused by
// the others.
TEST(ControlMessageTest, EachKindCarriesExactlyItsFields) {
    for (Kind kind : allKinds) {
        for (std::size_t i = 0; i < toggles.size(); ++i) {
            bool optional = (kind == Kind::hello || kind == Kind::helloAck) && i >= 7;
            EXPECT_EQ(after(kind, toggles[i]), optional ? passes : malformed)
                << json::enumName(kind) << " field " << i;
        }
    }
    // The adapter profile's own validation.
    EXPECT_EQ(after(Kind::hello,
                    [](auto& m) {
                        m.adapter = AdapterProfile{1'000'000'000, {}, {}, {}};
                    }),
              malformed);
}

TEST(ControlMessageTest, BoundsOfTextsPayloadsAndDigests) {
    std::string threeByte;
    for (int i = 0; i < 43; ++i) {
        threeByte += "\xE4\xB8\xAD";
    }
    struct Case {
        Kind kind;
        Change change;
        std::optional<ProtocolFailure> failure;
    };
    const std::string hex = "0123456789abcdef";
    for (const auto& [kind, change, failure] : std::vector<Case>{
             {Kind::helloAck, [](auto& m) { m.name = std::string(128, 'n'); }, passes},
             {Kind::helloAck, [](auto& m) { m.name = std::string(129, 'n'); }, malformed},
             {Kind::hello, [&](auto& m) { m.name = threeByte; }, malformed},  // 43 characters
             {Kind::hello, [&](auto& m) { m.name = threeByte.substr(3); }, passes},
             {Kind::hello, [](auto& m) { m.name = ""; }, malformed},
             {Kind::hello, [](auto& m) { m.name = "Studio\n"; }, malformed},
             {Kind::probe, [](auto& m) { m.payload->assign(4096, 1); }, passes},
             {Kind::probe, [](auto& m) { m.payload->assign(4097, 1); }, malformed},
             {Kind::probe, [](auto& m) { m.payload->clear(); }, malformed},
             {Kind::probeAck, [&](auto& m) { m.digest = hex + hex + hex + hex; }, passes},
             {Kind::probeAck, [](auto& m) { m.digest = std::string(64, 'A'); }, malformed},
             {Kind::probeAck, [](auto& m) { m.digest = std::string(63, 'a'); }, malformed},
             {Kind::probeAck, [](auto& m) { m.digest = std::string(65, 'a'); }, malformed},
             {Kind::probeAck, [](auto& m) { m.digest = std::string(63, 'a') + "g"; }, malformed},
             {Kind::probeAck, [](auto& m) { m.length = 4096; }, passes},
             {Kind::probeAck, [](auto& m) { m.length = 4097; }, malformed},
             {Kind::probeAck, [](auto& m) { m.length = 0; }, malformed},
             {Kind::probeAck, [](auto& m) { m.length = -1; }, malformed},
             {Kind::error, [](auto& m) { m.reason = "tab\there"; }, passes},  // bounded only
             {Kind::error, [](auto& m) { m.reason = std::string(128, 'r'); }, passes},
             {Kind::error, [](auto& m) { m.reason = std::string(129, 'r'); }, malformed},
             {Kind::error, [](auto& m) { m.reason = ""; }, malformed},
         }) {
        EXPECT_EQ(after(kind, change), failure) << json::enumName(kind);
    }
}

TEST(ControlMessageTest, SpeedIsValidatedThenItsEvidenceSessionCompared) {
    auto finish = samples::speed(SpeedMessage::Kind::qualityFinish);
    finish.ethernet = samples::evidence(finish.run, Uuid::random());
    auto m = samples::control(Kind::speed);
    m.speed = finish;
    EXPECT_EQ(validation(m), ProtocolFailure::identityChanged);
    m.session = finish.ethernet->session;
    EXPECT_EQ(validation(m), passes);
    // The nested message's own failure comes before the session comparison.
    m.session = Uuid::random();
    m.speed->streams = 2;
    EXPECT_EQ(validation(m), malformed);
    // Results are held to ten seconds.
    m.speed = samples::speed(SpeedMessage::Kind::result);
    m.speed->sample->seconds = 9.5;
    EXPECT_EQ(validation(m), malformed);
}

}  // namespace
}  // namespace sorvanta
