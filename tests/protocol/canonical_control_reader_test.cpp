#include "protocol/canonical_control_reader.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "protocol/record_coding.h"
#include "protocol_samples.h"

namespace sorvanta {
namespace {

using SpeedKind = SpeedMessage::Kind;

ControlMessage speedControl(SpeedMessage speed) {
    auto m = samples::control(ControlMessage::Kind::speed);
    m.speed = std::move(speed);
    return m;
}

// The body the frame codec sends, without the checks of a message's rules (some cases here
// break them on purpose: reading comes before those checks).
std::string bodyOf(const ControlMessage& message) {
    return encodeRecord(message);
}

// What a reader made of a body: the message written out again (so that -0.0 and 0.0, or two
// roundings of one literal, differ), or that it refused it.
std::string written(const ControlMessage& message) {
    try {
        return encodeRecord(message);
    } catch (const json::EncodeError&) {
        return "(a value that cannot be written)";
    }
}

std::optional<std::string> strictReading(const std::string& body) {
    try {
        return written(decodeRecord<ControlMessage>(body));
    } catch (const ProtocolFailure&) {
        return std::nullopt;
    }
}

// As the frame codec reads a body: the quick reader first, the strict decoder otherwise.
std::optional<std::string> codecReading(const std::string& body) {
    if (auto quick = readCanonicalControl(body)) {
        return written(*quick);
    }
    return strictReading(body);
}

// The run's frequent messages as this program writes them are read by the quick reader, to
// the very message that was written.
TEST(CanonicalControlReaderTest, ReadsTheFrequentMessagesAsWritten) {
    std::vector<SpeedMessage> messages;
    messages.push_back(samples::speed(SpeedKind::progress));
    messages.push_back(samples::speed(SpeedKind::result));
    messages.push_back(samples::speed(SpeedKind::warmed));
    messages.push_back(samples::speed(SpeedKind::start));
    auto reasoned = samples::speed(SpeedKind::result);
    reasoned.sample->seriesReason = "Intervals stopped: the receiver's clock stepped.";
    reasoned.sample->rollingBps.reset();
    messages.push_back(reasoned);
    auto edges = samples::speed(SpeedKind::progress);
    edges.stage = 2;
    edges.profile = QuickProfile::duplex;
    edges.sample->intervals.clear();
    edges.sample->bytes = 999'999'999'999'999'999;
    edges.sample->seconds = 0.1;
    edges.sample->rollingBps = 5e20;
    messages.push_back(edges);
    auto tiny = samples::speed(SpeedKind::progress);
    tiny.sample->seconds = 1e-7;
    tiny.sample->rollingBps = 0;
    tiny.sample->intervals = {{0.000123, 1.0000000000000002, 0}, {-0.0, 123456789.123, 1}};
    messages.push_back(tiny);

    for (const auto& speed : messages) {
        const auto message = speedControl(speed);
        const auto body = bodyOf(message);
        SCOPED_TRACE(body);
        const auto quick = readCanonicalControl(body);
        ASSERT_TRUE(quick.has_value());
        EXPECT_EQ(*quick, message);
        EXPECT_EQ(encodeRecord(*quick), encodeRecord(message));
        EXPECT_EQ(codecReading(body), strictReading(body));
    }
}

// Whatever the body, reading it through the frame codec gives what the strict decoder gives:
// the same message, or a refusal. Each case changes one part of a written progress message.
TEST(CanonicalControlReaderTest, AgreesWithTheStrictDecoderOnEveryBody) {
    auto progress = samples::speed(SpeedKind::progress);
    progress.stage = 1;
    progress.sample->seriesReason = "plain";
    const std::string base = bodyOf(speedControl(progress));
    ASSERT_NE(base.find(R"("stage":1,)"), std::string::npos);

    struct Case {
        const char* name;
        std::string from;
        std::string to;
        bool strictAccepts;
    };
    const std::vector<Case> cases = {
        {"unchanged", "", "", true},
        {"duplicate key", R"("kind":"speed",)", R"("kind":"speed","kind":"speed",)", false},
        {"duplicate nested key", R"("stage":1,)", R"("stage":1,"stage":1,)", false},
        {"keys out of order", R"("stage":1,"streams":1)", R"("streams":1,"stage":1)", true},
        {"unknown key", R"("version":9})", R"("version":9,"zzz":[1,{"a":null}]})", true},
        {"unknown key first", R"({"instance")", R"({"aaa":true,"instance")", true},
        {"space after a colon", R"("stage":1,)", R"("stage": 1,)", true},
        {"trailing space", R"("version":9})", "\"version\":9} \n", true},
        {"trailing garbage", R"("version":9})", R"("version":9}x)", false},
        {"two values", R"("version":9})", R"("version":9}{})", false},
        {"truncated", R"("version":9})", R"("version":9)", false},
        {"escape", R"("plain")", R"("pl\u0061in\n")", true},
        {"multibyte text", R"("plain")", "\"pl\xC3\xA4in\"", true},
        {"invalid UTF-8", R"("plain")", "\"pl\xC3in\"", false},
        {"control character", R"("plain")", "\"pl\tin\"", false},
        {"null optional", R"("seriesReason":"plain")", R"("seriesReason":null)", true},
        {"null required", R"("stage":1,)", R"("stage":null,)", false},
        {"integer written with a fraction", R"("stage":1,)", R"("stage":1.0,)", false},
        {"integer with an exponent", R"("stage":1,)", R"("stage":1e0,)", false},
        {"negative zero integer", R"("stage":1,)", R"("stage":-0,)", true},
        {"leading zero", R"("stage":1,)", R"("stage":01,)", false},
        {"plus sign", R"("stage":1,)", R"("stage":+1,)", false},
        {"largest integer", R"("stage":1,)", R"("stage":9223372036854775807,)", true},
        {"integer too large", R"("stage":1,)", R"("stage":9223372036854775808,)", false},
        {"integer far too large", R"("stage":1,)", R"("stage":99999999999999999999,)", false},
        {"string for an integer", R"("stage":1,)", R"("stage":"1",)", false},
        {"negative byte count", R"("bytes":1175000000,)", R"("bytes":-1,)", false},
        {"byte count of 20 digits", R"("bytes":1175000000,)", R"("bytes":18446744073709551615,)",
         true},
        {"byte count over 64 bits", R"("bytes":1175000000,)", R"("bytes":18446744073709551616,)",
         false},
        {"whole seconds", R"("seconds":1.5)", R"("seconds":2)", true},
        {"negative zero seconds", R"("seconds":1.5)", R"("seconds":-0.0)", true},
        {"negative zero whole seconds", R"("seconds":1.5)", R"("seconds":-0)", true},
        {"seconds with an exponent", R"("seconds":1.5)", R"("seconds":15E-1)", true},
        {"seconds needing rounding", R"("seconds":1.5)", R"("seconds":0.30000000000000004441)",
         true},
        {"seconds of 25 digits", R"("seconds":1.5)", R"("seconds":1234567890123456789012345)",
         true},
        {"seconds out of range", R"("seconds":1.5)", R"("seconds":1e999)", false},
        {"subnormal seconds", R"("seconds":1.5)", R"("seconds":4.9e-324)", true},
        {"seconds without digits", R"("seconds":1.5)", R"("seconds":1.)", false},
        {"seconds as text", R"("seconds":1.5)", R"("seconds":"1.5")", false},
        {"Boolean as text", R"("measuring":false)", R"("measuring":"false")", false},
        {"misspelt Boolean", R"("measuring":false)", R"("measuring":fals)", false},
        {"unknown kind", R"("kind":"progress")", R"("kind":"Progress")", false},
        {"unknown profile", R"("profile":"quick")", R"("profile":"slow")", false},
        {"bad identifier", R"("run":")", R"("run":"x)", false},
        {"intervals as an object", R"("intervals":[)", R"("intervals":{"a":[)", false},
        {"interval missing a key", R"({"bytes":117500000,"end":3.0,)", R"({"end":3.0,)", false},
        {"sample missing a key", R"("measuring":false,)", "", false},
        {"missing version", R"(,"version":9})", "}", false},
        {"empty sample", R"("sample":{)", R"("sample":{},"x":{)", false},
        {"array at the top", "", "", false},
        // Fields the quick reader now reads through the shared field lists, or must leave.
        {"port", R"("profile")", R"("port":50100,"profile")", true},
        {"largest port", R"("profile")", R"("port":65535,"profile")", true},
        {"port over 16 bits", R"("profile")", R"("port":65536,"profile")", false},
        {"negative port", R"("profile")", R"("port":-1,"profile")", false},
        {"token in Base64", R"("warmupMilliseconds")", R"("token":"AAEC","warmupMilliseconds")",
         true},
        {"token as numbers", R"("warmupMilliseconds")", R"("token":[0,1,2],"warmupMilliseconds")",
         false},
        {"known end cause", R"("kind":"progress")", R"("end":"stopped","kind":"progress")", true},
        {"unknown end cause", R"("kind":"progress")", R"("end":"Stopped","kind":"progress")",
         false},
        {"issue as a number", R"("kind":"progress")", R"("issue":1,"kind":"progress")", false},
        {"record that reads itself", R"("warmupMilliseconds")",
         R"("transport":{},"warmupMilliseconds")", false},
        {"null sample", R"("sample":{)", R"("sample":null,"x":{)", true},
        {"name", R"("session")", R"("name":"Studio","session")", true},
        {"name as a number", R"("session")", R"("name":7,"session")", false},
        {"low power", R"("session")", R"("lowPower":true,"session")", true},
        {"low power as a number", R"("session")", R"("lowPower":1,"session")", false},
        {"probe length", R"("session")", R"("length":-4096,"session")", true},
        {"nonce", R"("session")", R"("nonce":"not an identifier","session")", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string body = base;
        if (std::string(c.name) == "array at the top") {
            body = "[" + base + "]";
        } else if (!c.from.empty()) {
            const auto at = body.find(c.from);
            ASSERT_NE(at, std::string::npos);
            body.replace(at, c.from.size(), c.to);
        }
        const auto strict = strictReading(body);
        EXPECT_EQ(strict.has_value(), c.strictAccepts);
        EXPECT_EQ(codecReading(body), strict);
    }
}

// Every message, of every kind, as this program writes it: the quick reader answers exactly
// when all its values are of kinds it reads, and then with the very message written; the
// frame codec's reading always equals the strict decoder's.
TEST(CanonicalControlReaderTest, ReadsEveryKindItCanAndLeavesTheRest) {
    using Kind = ControlMessage::Kind;
    struct Case {
        const char* name;
        ControlMessage message;
        bool quick;
    };
    std::vector<Case> cases = {
        {"hello", samples::control(Kind::hello), true},
        {"probe (Base64 payload)", samples::control(Kind::probe), false},
        {"probe acknowledgement", samples::control(Kind::probeAck), true},
        {"error", samples::control(Kind::error), true},
        {"power", samples::control(Kind::power), true},
        {"speed request", samples::control(Kind::speed), true},
        {"prepare (Base64 token)", speedControl(samples::speed(SpeedKind::prepare)), false},
        {"check waiting (issue)", speedControl(samples::speed(SpeedKind::checkWaiting)), true},
        {"cancel (end cause)", speedControl(samples::speed(SpeedKind::cancel)), true},
        {"TCP report (record read by itself)", speedControl(samples::speed(SpeedKind::tcpReport)),
         false},
        {"UDP progress (record read by itself)",
         speedControl(samples::speed(SpeedKind::udpProgress)), false},
    };
    auto hello = samples::control(Kind::hello);
    hello.adapter = AdapterProfile{};
    cases.push_back({"hello with an adapter (record read by itself)", hello, false});
    auto unavailable = samples::speed(SpeedKind::qualityUnavailable);
    unavailable.qualityReason = "No UDP path.";
    cases.push_back({"quality unavailable (reason)", speedControl(unavailable), true});
    auto cancel = samples::speed(SpeedKind::cancel);
    cancel.endDetail = "The peer stopped the test.";
    cases.push_back({"cancel with its detail", speedControl(cancel), true});

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto body = bodyOf(c.message);
        const auto quick = readCanonicalControl(body);
        EXPECT_EQ(quick.has_value(), c.quick);
        if (quick) {
            EXPECT_EQ(*quick, c.message);
        }
        EXPECT_EQ(codecReading(body), strictReading(body));
        EXPECT_EQ(strictReading(body), written(c.message));
    }
}

}  // namespace
}  // namespace sorvanta
