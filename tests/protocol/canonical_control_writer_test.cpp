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

// Everything else is left to the strict encoder.
TEST(CanonicalControlWriterTest, LeavesEveryOtherMessageToTheStrictEncoder) {
    std::vector<std::pair<const char*, ControlMessage>> cases;
    for (const auto kind :
         {ControlMessage::Kind::hello, ControlMessage::Kind::probe, ControlMessage::Kind::probeAck,
          ControlMessage::Kind::error, ControlMessage::Kind::power}) {
        cases.emplace_back("another control kind", samples::control(kind));
    }
    for (const auto kind : {SpeedKind::prepare, SpeedKind::tcpReport, SpeedKind::checkWaiting,
                            SpeedKind::udpPrepare, SpeedKind::cancel}) {
        cases.emplace_back("a speed kind with a payload", speedControl(samples::speed(kind)));
    }
    auto reasoned = samples::speed(SpeedKind::result);
    reasoned.sample->seriesReason = "Intervals stopped.";
    cases.emplace_back("text in the sample", speedControl(reasoned));
    auto infinite = samples::speed(SpeedKind::progress);
    infinite.sample->rollingBps = std::numeric_limits<double>::infinity();
    cases.emplace_back("a rate that cannot be written", speedControl(infinite));
    auto badInterval = samples::speed(SpeedKind::progress);
    badInterval.sample->intervals.push_back({0, std::nan(""), 1});
    cases.emplace_back("an interval that cannot be written", speedControl(badInterval));
    auto badSeconds = samples::speed(SpeedKind::progress);
    badSeconds.sample->seconds = -std::numeric_limits<double>::infinity();
    cases.emplace_back("seconds that cannot be written", speedControl(badSeconds));
    auto unnamed = samples::speed(SpeedKind::progress);
    unnamed.kind = static_cast<SpeedKind>(99);
    cases.emplace_back("a kind without a name", speedControl(unnamed));
    auto withPower = speedControl(samples::speed(SpeedKind::progress));
    withPower.lowPower = false;
    cases.emplace_back("a control field beside the test message", withPower);
    auto withName = speedControl(samples::speed(SpeedKind::progress));
    withName.name = "Studio";
    cases.emplace_back("a name beside the test message", withName);
    auto empty = samples::control(ControlMessage::Kind::speed);
    empty.speed.reset();
    cases.emplace_back("no test message", empty);
    auto quality = samples::speed(SpeedKind::qualityUnavailable);
    quality.qualityReason = "No.";
    cases.emplace_back("quality text", speedControl(quality));

    for (const auto& [what, message] : cases) {
        EXPECT_EQ(writeCanonicalControl(message), std::nullopt) << what;
    }
}

}  // namespace
}  // namespace sorvanta
