#include "protocol/speed_message.h"

#include <gtest/gtest.h>

#include <functional>
#include <iterator>
#include <sstream>

#include "protocol/record_coding.h"
#include "protocol_checks.h"

namespace sorvanta {
namespace {

using namespace checks;
using Kind = SpeedMessage::Kind;
using Change = std::function<void(SpeedMessage&)>;

std::vector<Kind> allKinds() {
    std::vector<Kind> kinds;
    for (int i = 0; i < 34; ++i) {
        kinds.push_back(static_cast<Kind>(i));
    }
    return kinds;
}

// The failure of `validate(10)` on the sample of `kind` after `change`.
std::optional<ProtocolFailure> after(Kind kind, const Change& change) {
    auto m = samples::speed(kind);
    change(m);
    return validation(m, 10.0);
}

// Adds evidence of the message's run, changed by `change`, and puts the message at `stage`
// of `profile`.
Change evidence(std::function<void(EthernetRunEvidence&)> change = {}, std::int64_t stage = 2,
                QuickProfile profile = QuickProfile::quick) {
    return [=](SpeedMessage& m) {
        m.ethernet = samples::evidence(m.run, Uuid::random());
        if (change) {
            change(*m.ethernet);
        }
        m.stage = stage;
        m.profile = profile;
    };
}

TEST(SpeedMessageTest, KindsInProtocolOrder) {
    std::istringstream text(
        "tcpReport reportsReady stageClosed qualityStart qualityNext qualityRetry "
        "qualityUnavailable udpPrepare udpReady udpProgress udpSent udpResult udpAck "
        "qualityFinish qualityAck qualityCommit checkPrepare checkReady checkStart checkWaiting "
        "checkFailed request accept reject prepare start progress cancel result resultAck warmed "
        "measure finish advance");
    std::vector<std::string> names{std::istream_iterator<std::string>(text), {}};
    ASSERT_EQ(names.size(), allKinds().size());
    for (Kind kind : allKinds()) {
        auto i = static_cast<std::size_t>(kind);
        EXPECT_EQ(json::enumName(kind), names[i]);
        EXPECT_EQ(json::enumFromName<Kind>(names[i]), kind);
        EXPECT_EQ(isUDP(kind), i >= 7 && i <= 12) << i;
    }
    EXPECT_EQ(json::enumFromName<Kind>("Request"), std::nullopt);
}

TEST(SpeedMessageTest, JsonForm) {
    for (Kind kind : allKinds()) {
        auto m = samples::speed(kind);
        EXPECT_EQ(validation(m, 10.0), passes) << json::enumName(kind);
        EXPECT_EQ(decodeRecord<SpeedMessage>(encodeRecord(m)), m) << json::enumName(kind);
    }
    auto request = json::parse(encodeRecord(samples::speed(Kind::request)));
    EXPECT_EQ(request.size(), 8u);
    for (const char* key : {"kind", "run", "sender", "profile", "stage", "streams",
                            "warmupMilliseconds", "measurementMilliseconds"}) {
        auto missing = request;
        missing.erase(key);
        EXPECT_EQ(failureOf([&] { decodeRecord<SpeedMessage>(json::dump(missing)); }), malformed)
            << key;
    }
}

// Malformed whatever the kind: a breach of the run's fixed shape, and any field (or part of
// the UDP record) added to a kind that does not carry it or taken from one that must.
// Optional fields pass on the kinds that may carry them.
TEST(SpeedMessageTest, EveryKindCarriesExactlyItsFields) {
    const std::vector<Change> changes{
        [](auto& m) { m.streams = 2; },
        [](auto& m) { m.warmupMilliseconds = 1999; },
        [](auto& m) { m.measurementMilliseconds = 10001; },
        [](auto& m) { m.stage = -1; },
        [](auto& m) { m.stage = 3; },
        [](auto& m) { toggle(m.issue, SetupIssue::refused); },
        [](auto& m) { toggle(m.transport, *samples::speed(Kind::tcpReport).transport); },
        [](auto& m) { toggle(m.udp, samples::udp(Kind::udpAck)); },
        [](auto& m) { toggle(m.end, RunEndCause::tester); },
        [](auto& m) { toggle(m.port, 5000); },
        [](auto& m) { toggle(m.token, samples::token()); },
        [](auto& m) { toggle(m.sample, samples::finalSample()); },
    };
    const std::vector<std::function<void(UDPControl&)>> udpParts{
        [](auto& u) { toggle(u.port, 9); },
        [](auto& u) { toggle(u.token, samples::token()); },
        [](auto& u) { toggle(u.progress, 1); },
        [](auto& u) { toggle(u.send, *samples::udp(Kind::udpSent).send); },
        [](auto& u) { toggle(u.result, *samples::udp(Kind::udpResult).result); },
        [](auto& u) { toggle(u.path, "en7"); },
    };
    for (Kind kind : allKinds()) {
        for (std::size_t i = 0; i < changes.size(); ++i) {
            EXPECT_EQ(after(kind, changes[i]), malformed) << json::enumName(kind) << " " << i;
        }
        for (std::size_t i = 0; isUDP(kind) && i < udpParts.size(); ++i) {
            EXPECT_EQ(after(kind, [&](auto& m) { udpParts[i](*m.udp); }), malformed)
                << json::enumName(kind) << " UDP part " << i;
        }
        // The fields no kind requires, on the kinds that may carry them.
        const bool quality = kind == Kind::qualityFinish || kind == Kind::qualityAck;
        const bool reason = kind == Kind::qualityFinish || kind == Kind::qualityUnavailable;
        EXPECT_EQ(after(kind, evidence()), quality ? passes : malformed) << json::enumName(kind);
        EXPECT_EQ(after(kind, [](auto& m) { m.qualityReason = "x"; }), reason ? passes : malformed);
        EXPECT_EQ(after(kind, [](auto& m) { m.endDetail = "x"; }),
                  kind == Kind::cancel ? passes : malformed);
    }
}

TEST(SpeedMessageTest, RulesOfEachKind) {
    struct Case {
        Kind kind;
        Change change;
        std::optional<ProtocolFailure> failure;
    };
    const auto eAcute = std::string(254, 'q') + "\xC3\xA9";  // 256 bytes
    for (const auto& [kind, change, failure] : std::vector<Case>{
             // 1: stage range of the profile.
             {Kind::request, [](auto& m) { m.stage = 2; }, passes},
             {Kind::request, [](auto& m) { m.profile = QuickProfile::forward, m.stage = 1; },
              malformed},
             // 6: checks at stage 0.
             {Kind::checkReady, [](auto& m) { m.stage = 1; }, malformed},
             {Kind::checkStart, [](auto& m) { m.stage = 1; }, malformed},
             {Kind::checkWaiting, [](auto& m) { m.stage = 2; }, malformed},
             {Kind::checkFailed, [](auto& m) { m.stage = 1; }, malformed},
             {Kind::start, [](auto& m) { m.stage = 1; }, passes},
             // 7: a report's content is checked when merged, not here.
             {Kind::tcpReport, [](auto& m) { m.transport->sent = 0; }, passes},
             // 9: quality reason.
             {Kind::qualityFinish, [&](auto& m) { m.qualityReason = eAcute; }, passes},
             {Kind::qualityFinish, [&](auto& m) { m.qualityReason = "q" + eAcute; }, malformed},
             {Kind::qualityFinish, [](auto& m) { m.qualityReason = ""; }, passes},
             {Kind::qualityFinish, [](auto& m) { m.qualityReason = "two\nlines"; }, malformed},
             // 11: end detail only on cancel.
             {Kind::cancel, [](auto& m) { m.endDetail = std::string(256, 'd'); }, passes},
             {Kind::cancel, [](auto& m) { m.endDetail = std::string(257, 'd'); }, malformed},
             {Kind::cancel, [](auto& m) { m.endDetail = "tab\there"; }, malformed},
             // 12: Ethernet evidence, only at the last stage of a quick run.
             {Kind::qualityFinish, evidence({}, 0, QuickProfile::duplex), malformed},
             {Kind::qualityFinish, evidence({}, 1), malformed},
             {Kind::qualityFinish, evidence([](auto& e) { e.after.reset(); }), malformed},
             {Kind::qualityFinish, evidence([](auto& e) { e.run = Uuid::random(); }), malformed},
             {Kind::qualityFinish, evidence([](auto& e) { e.interfaceIndex = 0; }), malformed},
             // 13: the UDP record's own validation.
             {Kind::udpPrepare, [](auto& m) { m.udp->leg = 2; }, malformed},
             {Kind::udpPrepare, [](auto& m) { m.udp->token = samples::token(31); }, malformed},
             // 14: port, token and sample of the kinds that carry them.
             {Kind::checkPrepare, [](auto& m) { m.port = 0; }, malformed},
             {Kind::checkPrepare, [](auto& m) { m.token = samples::token(31); }, malformed},
             {Kind::prepare, [](auto& m) { m.token = samples::token(33); }, malformed},
             {Kind::progress, [](auto& m) { m.sample->intervals.assign(65, {}); }, malformed},
             // A warm-up sample is no final result; the minimum seconds are handed through.
             {Kind::result, [](auto& m) { m.sample = samples::speed(Kind::progress).sample; },
              malformed},
             {Kind::result, [](auto& m) { m.sample->seconds = 9.5; }, malformed},
         }) {
        EXPECT_EQ(after(kind, change), failure) << json::enumName(kind);
    }
    auto shortResult = samples::speed(Kind::result);
    shortResult.sample->seconds = 5;
    EXPECT_EQ(validation(shortResult, 5.0), passes);
}

// Evidence whose JSON form is over 24,576 bytes raises invalidLength. (Evidence that passes
// its own validation stays well below that, so only the bound itself is checked here.)
TEST(SpeedMessageTest, EncodedEvidenceSizeBound) {
    EXPECT_EQ(failureOf([] { SpeedMessage::checkEvidenceLength(24'576); }), passes);
    EXPECT_EQ(failureOf([] { SpeedMessage::checkEvidenceLength(24'577); }),
              ProtocolFailure::invalidLength);
}

}  // namespace
}  // namespace sorvanta
