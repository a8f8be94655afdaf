#include "protocol/record_fields.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/control_message.h"
#include "protocol/record_coding.h"
#include "protocol_samples.h"

namespace sorvanta {
namespace {

using SpeedKind = SpeedMessage::Kind;

ControlMessage progressControl() {
    auto m = samples::control(ControlMessage::Kind::speed);
    m.speed = samples::speed(SpeedKind::progress);
    return m;
}

std::string replaced(std::string body,
                     const std::vector<std::pair<std::string, std::string>>& edits) {
    for (const auto& [from, to] : edits) {
        const auto at = body.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        if (at != std::string::npos) {
            body.replace(at, from.size(), to);
        }
    }
    return body;
}

// When several fields are missing or ill-typed, the strict decoder names the first in each
// record's list (which is not the order they are written in), nested keys leading to it.
TEST(RecordFieldsTest, StrictDecoderNamesTheFirstBadFieldOfTheList) {
    const auto base = encodeRecord(progressControl());
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> edits;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"version before kind",
         {{R"("kind":"speed",)", ""}, {R"(,"version":9)", ""}},
         R"(missing key "version")"},
        {"kind before session",
         {{R"("kind":"speed",)", ""}, {R"("session")", R"("Session")"}},
         R"(missing key "kind")"},
        {"run before stage",
         {{R"("stage":0)", R"("stage":"0")"}, {R"("run":")", R"("run":"x)"}},
         R"(key "speed": key "run": expected a UUID)"},
        {"bytes before seconds",
         {{R"("seconds":1.5)", R"("seconds":true)"}, {R"("bytes":1175000000)", R"("bytes":-1)"}},
         R"(key "speed": key "sample": key "bytes": integer out of range)"},
        {"seconds before measuring",
         {{R"("seconds":1.5)", R"("second":1.5)"}, {R"("measuring":false)", R"("measuring":0)"}},
         R"(key "speed": key "sample": missing key "seconds")"},
        {"start before end",
         {{R"("end":3.0,"start":2.0)", R"("end":"3","start":"2")"}},
         R"(key "speed": key "sample": key "intervals": key "start": expected a number)"},
        {"an optional field ill-typed",
         {{R"("rollingBps":940000000.0)", R"("rollingBps":"fast")"}},
         R"(key "speed": key "sample": key "rollingBps": expected a number)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto body = replaced(base, c.edits);
        try {
            (void)json::decode<ControlMessage>(body);
            ADD_FAILURE() << "decoded " << body;
        } catch (const json::DecodeError& error) {
            EXPECT_EQ(std::string(error.what()), c.error);
        }
    }
}

// The encoder writes every listed field of a full record, in the order the quick reader
// walks them.
template <FieldListed T>
void expectWrittenInListedOrder(const T& value) {
    const auto written = json::parse(encodeRecord(value));
    std::vector<std::string> keys;
    for (const auto& [key, field] : written.items()) {
        keys.push_back(key);
    }
    const auto listed = fieldKeys<T>();
    std::vector<std::string> expected;
    for (auto position : fieldsInWrittenOrder<T>()) {
        expected.emplace_back(listed[position]);
    }
    EXPECT_EQ(keys, expected);
}

TEST(RecordFieldsTest, FullRecordsAreWrittenInTheQuickReadersOrder) {
    auto speed = samples::speed(SpeedKind::prepare);
    speed.sample = samples::finalSample();
    speed.sample->seriesReason = "stepped";
    speed.issue = SetupIssue::timeout;
    speed.transport = samples::transport(speed.run, speed.sender);
    speed.udp = samples::udp(SpeedKind::udpPrepare);
    speed.qualityReason = "none";
    speed.ethernet = samples::evidence(speed.run, Uuid::random());
    speed.end = RunEndCause::stopped;
    speed.endDetail = "stopped";
    auto control = samples::control(ControlMessage::Kind::probeAck);
    control.name = "Studio";
    control.payload = samples::token();
    control.reason = "Closing.";
    control.speed = speed;
    control.adapter = AdapterProfile{};
    control.lowPower = false;

    expectWrittenInListedOrder(ThroughputInterval{1, 2, 3});
    expectWrittenInListedOrder(*speed.sample);
    expectWrittenInListedOrder(speed);
    expectWrittenInListedOrder(control);
}

}  // namespace
}  // namespace sorvanta
