#include "protocol/udp_control.h"

#include <gtest/gtest.h>

#include "protocol/protocol_failure.h"
#include "protocol/record_coding.h"

namespace sorvanta {
namespace {

bool passes(const UDPControl& control) {
    try {
        control.validate();
        return true;
    } catch (const ProtocolFailure& failure) {
        EXPECT_EQ(failure, ProtocolFailure::malformed);
        return false;
    }
}

UDPSendSummary summary() {
    UDPSendSummary send;
    send.attempted = 1000;
    send.accepted = 1000;
    send.seconds = 3.0;
    return send;
}

UDPObservation observation() {
    UDPObservation result;
    result.capacity = 1e9;
    result.send = summary();
    result.plannedSeconds = 3.0;
    result.unique = 1000;
    result.tailSeconds = 0.5;
    return result;
}

UDPControl control(std::int64_t leg = 0) {
    UDPControl record;
    record.probe = Uuid::random();
    record.leg = leg;
    return record;
}

TEST(UDPControlTest, BareRecordPassesForEitherLeg) {
    EXPECT_TRUE(passes(control(0)));
    EXPECT_TRUE(passes(control(1)));
    EXPECT_FALSE(passes(control(2)));
    EXPECT_FALSE(passes(control(-1)));
}

TEST(UDPControlTest, FieldBounds) {
    auto record = control();
    record.port = 1;
    record.token = std::vector<std::uint8_t>(32, 0xA5);
    record.progress = 3'000'000;
    record.path = std::string(1023, 'p') + "\n";  // only the length of the path is limited
    record.send = summary();
    record.result = observation();
    EXPECT_TRUE(passes(record));

    record.path = "";
    EXPECT_TRUE(passes(record));

    auto check = [](void (*change)(UDPControl&)) {
        auto broken = control();
        change(broken);
        return passes(broken);
    };
    EXPECT_FALSE(check([](UDPControl& c) { c.port = 0; }));
    EXPECT_TRUE(check([](UDPControl& c) { c.port = 65535; }));
    EXPECT_FALSE(check([](UDPControl& c) { c.token = std::vector<std::uint8_t>(31); }));
    EXPECT_FALSE(check([](UDPControl& c) { c.token = std::vector<std::uint8_t>(33); }));
    EXPECT_FALSE(check([](UDPControl& c) { c.progress = 3'000'001; }));
    EXPECT_FALSE(check([](UDPControl& c) { c.progress = -1; }));
    EXPECT_TRUE(check([](UDPControl& c) { c.progress = 0; }));
    EXPECT_FALSE(check([](UDPControl& c) { c.path = std::string(1025, 'p'); }));
}

TEST(UDPControlTest, NestedRecordsAreValidated) {
    auto record = control();
    record.send = summary();
    record.send->accepted = 999;  // one submission never completed, and no reason
    EXPECT_FALSE(passes(record));
    record.send->reason = "Send window shortened";
    EXPECT_TRUE(passes(record));

    record = control();
    record.result = observation();
    record.result->plannedSeconds = 7;
    EXPECT_FALSE(passes(record));
}

TEST(UDPControlTest, RoundTripsThroughJson) {
    auto bare = control(1);
    EXPECT_EQ(encodeRecord(bare), R"({"leg":1,"probe":")" + bare.probe.text() + R"("})");
    EXPECT_EQ(decodeRecord<UDPControl>(encodeRecord(bare)), bare);

    auto full = control();
    full.port = 50123;
    full.token = std::vector<std::uint8_t>(32, 0xFE);
    full.progress = 1234;
    full.send = summary();
    full.result = observation();
    full.path = "en7 · 1 Gbit/s";
    EXPECT_EQ(decodeRecord<UDPControl>(encodeRecord(full)), full);

    const std::string probe = R"("probe":")" + bare.probe.text() + R"(")";
    EXPECT_THROW(decodeRecord<UDPControl>("{" + probe + R"(,"leg":0,"port":65536})"),
                 ProtocolFailure);
    EXPECT_THROW(decodeRecord<UDPControl>("{" + probe + R"(,"leg":0,"port":-1})"), ProtocolFailure);
    EXPECT_THROW(decodeRecord<UDPControl>("{" + probe + R"(,"leg":0,"token":"not base64"})"),
                 ProtocolFailure);
    EXPECT_THROW(decodeRecord<UDPControl>("{" + probe + "}"), ProtocolFailure);
    auto absentAsNull = decodeRecord<UDPControl>("{" + probe + R"(,"leg":0,"port":null})");
    EXPECT_FALSE(absentAsNull.port);
}

}  // namespace
}  // namespace sorvanta
