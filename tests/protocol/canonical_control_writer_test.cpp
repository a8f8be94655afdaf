#include "protocol/canonical_control_writer.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
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

// The frequent messages are written byte for byte as the strict encoder writes them, with
// the numbers whose text is easiest to get wrong.
TEST(CanonicalControlWriterTest, WritesWhatTheStrictEncoderWrites) {
    std::vector<SpeedMessage> messages;
    for (const auto kind :
         {SpeedKind::progress, SpeedKind::result, SpeedKind::warmed, SpeedKind::start,
          SpeedKind::measure, SpeedKind::advance, SpeedKind::resultAck}) {
        messages.push_back(samples::speed(kind));
    }
    auto edges = samples::speed(SpeedKind::progress);
    edges.stage = 2;
    edges.profile = QuickProfile::duplex;
    edges.sample->intervals.clear();
    edges.sample->bytes = std::numeric_limits<std::uint64_t>::max();
    edges.sample->seconds = 0.1;
    edges.sample->rollingBps = 5e20;
    messages.push_back(edges);
    auto numbers = samples::speed(SpeedKind::progress);
    numbers.sample->seconds = 1e-7;
    numbers.sample->rollingBps.reset();
    numbers.sample->measuring = true;
    numbers.sample->intervals = {
        {0.000123, 1.0000000000000002, 0},
        {-0.0, 123456789.123, 1},
        {3.0, 1e15, 2},
        {1e16, 1e17, 3},
        {0.0001, 0.00001, 4},
        {std::numeric_limits<double>::min(), std::numeric_limits<double>::max(), 5},
        {std::numeric_limits<double>::denorm_min(), -2.5e-300, 6},
        {1.0 / 3.0, 2.0 / 3.0, 7}};
    messages.push_back(numbers);
    // Fields the strict encoder writes as they are, whatever a message's rules say of them.
    auto odd = samples::speed(SpeedKind::progress);
    odd.stage = -7;
    odd.streams = std::numeric_limits<std::int64_t>::min();
    odd.warmupMilliseconds = 0;
    odd.measurementMilliseconds = std::numeric_limits<std::int64_t>::max();
    messages.push_back(odd);

    for (const auto& speed : messages) {
        auto message = speedControl(speed);
        message.version = 10;
        const auto quick = writeCanonicalControl(message);
        ASSERT_TRUE(quick) << encodeRecord(message);
        EXPECT_EQ(*quick, encodeRecord(message));
    }
}

// Many ordinary readings: every double the run writes has the strict encoder's text.
TEST(CanonicalControlWriterTest, WritesEveryNumberAsTheStrictEncoderDoes) {
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> seconds(0, 30);
    std::uniform_int_distribution<std::uint64_t> bits;
    auto speed = samples::speed(SpeedKind::progress);
    for (int round = 0; round < 200; ++round) {
        speed.sample->intervals.clear();
        for (int i = 0; i < 40; ++i) {
            double any = std::bit_cast<double>(bits(random));
            if (!std::isfinite(any)) {
                any = 0.5;
            }
            speed.sample->intervals.push_back({seconds(random), any, bits(random)});
        }
        speed.sample->seconds = seconds(random);
        speed.sample->rollingBps = seconds(random) * 1e8;
        const auto message = speedControl(speed);
        ASSERT_EQ(writeCanonicalControl(message), encodeRecord(message));
    }
}

// Every message is either written exactly as the strict encoder writes it or left to it; what
// this writer cannot write as the strict encoder would (escaped text, Base64 bytes, numbers
// that cannot be written, nameless cases, records that write themselves) is always left.
TEST(CanonicalControlWriterTest, WritesExactlyOrLeavesToTheStrictEncoder) {
    struct Case {
        std::string what;
        ControlMessage message;
        bool written;
    };
    std::vector<Case> cases;
    for (const auto kind : {ControlMessage::Kind::hello, ControlMessage::Kind::helloAck,
                            ControlMessage::Kind::error, ControlMessage::Kind::power}) {
        cases.push_back({"plain control message", samples::control(kind), true});
    }
    auto probe = samples::control(ControlMessage::Kind::probe);
    probe.payload = std::vector<std::uint8_t>{0, 255, 7};
    cases.push_back({"a probe with Base64 bytes", probe, false});
    for (const auto kind :
         {SpeedKind::prepare, SpeedKind::tcpReport, SpeedKind::checkWaiting, SpeedKind::udpPrepare,
          SpeedKind::cancel, SpeedKind::qualityUnavailable}) {
        const auto message = speedControl(samples::speed(kind));
        const auto strict = encodeRecord(message);
        const auto quick = writeCanonicalControl(message);
        EXPECT_TRUE(!quick || *quick == strict) << strict;
    }
    auto withName = speedControl(samples::speed(SpeedKind::progress));
    withName.name = "Studio";
    withName.lowPower = false;
    cases.push_back({"plain text and a flag beside the test message", withName, true});
    auto quoted = speedControl(samples::speed(SpeedKind::progress));
    quoted.name = "Studio \"B\"";
    cases.push_back({"text with quotes", quoted, false});
    auto accented = speedControl(samples::speed(SpeedKind::progress));
    accented.name = "Caf\u00e9";
    cases.push_back({"text beyond ASCII", accented, false});
    auto reasoned = samples::speed(SpeedKind::result);
    reasoned.sample->seriesReason = "Intervals stopped.\n";
    cases.push_back({"a control character in the sample", speedControl(reasoned), false});
    auto token = samples::speed(SpeedKind::progress);
    token.token = std::vector<std::uint8_t>{1, 2, 3};
    cases.push_back({"a Base64 token", speedControl(token), false});
    auto infinite = samples::speed(SpeedKind::progress);
    infinite.sample->rollingBps = std::numeric_limits<double>::infinity();
    cases.push_back({"a rate that cannot be written", speedControl(infinite), false});
    auto badInterval = samples::speed(SpeedKind::progress);
    badInterval.sample->intervals.push_back({0, std::nan(""), 1});
    cases.push_back({"an interval that cannot be written", speedControl(badInterval), false});
    auto unnamed = samples::speed(SpeedKind::progress);
    unnamed.kind = static_cast<SpeedKind>(99);
    cases.push_back({"a kind without a name", speedControl(unnamed), false});
    auto udp = samples::speed(SpeedKind::udpPrepare);
    cases.push_back({"a record that writes itself", speedControl(udp), !udp.udp});

    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto quick = writeCanonicalControl(c.message);
        EXPECT_EQ(quick.has_value(), c.written);
        if (quick) {
            EXPECT_EQ(*quick, encodeRecord(c.message));
        }
    }
}

}  // namespace
}  // namespace sorvanta
