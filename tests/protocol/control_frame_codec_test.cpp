#include "protocol/control_frame_codec.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "protocol_checks.h"

namespace sorvanta {
namespace {

using namespace checks;
using Messages = std::vector<ControlMessage>;

ControlMessage power(bool on) {
    auto m = samples::control(ControlMessage::Kind::power);
    m.session = *Uuid::parse("6F1D2E3C-0000-4000-8000-00000000000A");
    m.instance = *Uuid::parse("6F1D2E3C-0000-4000-8000-00000000000B");
    m.lowPower = on;
    return m;
}

const std::string ids = R"("session":"6F1D2E3C-0000-4000-8000-00000000000A",)"
                        R"("instance":"6F1D2E3C-0000-4000-8000-00000000000B")";
const std::string powerOn = R"({"version":9,"kind":"power",)" + ids + R"(,"lowPower":true)";

TEST(ControlFrameCodecTest, ReassemblesWhateverTheChunking) {
    auto hello = samples::control(ControlMessage::Kind::hello);
    auto first = ControlFrameCodec::encode(hello);
    ASSERT_EQ(Bytes(first.begin(), first.begin() + 4),
              (Bytes{0, 0, 0, static_cast<std::uint8_t>(first.size() - 4)}));
    auto firstTwo = first + ControlFrameCodec::encode(power(true));
    auto probe = samples::control(ControlMessage::Kind::probe);  // a body over 255 bytes
    auto stream = firstTwo + ControlFrameCodec::encode(probe);
    const Messages all{hello, power(true), probe};

    // Every cut into two chunks: two frames in one chunk, a split length field, a chunk
    // ending inside the second frame.
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        ControlFrameCodec codec;
        auto got = codec.append(Bytes(stream.begin(), stream.begin() + cut));
        auto rest = codec.append(Bytes(stream.begin() + cut, stream.end()));
        got.insert(got.end(), rest.begin(), rest.end());
        ASSERT_EQ(got, all) << "cut at " << cut;
    }

    // One byte per chunk: each message arrives with its frame's last byte.
    ControlFrameCodec codec;
    Messages got;
    for (std::size_t i = 0; i < stream.size(); ++i) {
        auto completed = codec.append(Bytes{stream[i]});
        bool frameEnd = i + 1 == first.size() || i + 1 == firstTwo.size() || i + 1 == stream.size();
        EXPECT_EQ(completed.size(), frameEnd ? 1u : 0u) << i;
        EXPECT_EQ(codec.hasPendingData(), !frameEnd) << i;
        got.insert(got.end(), completed.begin(), completed.end());
    }
    EXPECT_EQ(got, all);
    EXPECT_TRUE(codec.append(Bytes{}).empty());
}

TEST(ControlFrameCodecTest, BoundsOfLengthFieldChunkAndBody) {
    // The largest body (padded with JSON whitespace) in a chunk of exactly 65,540 bytes.
    auto largest =
        ControlFrameCodec::frame(powerOn + std::string(65'536 - powerOn.size() - 1, ' ') + "}");
    ASSERT_EQ(largest.size(), 65'540u);
    EXPECT_EQ(ControlFrameCodec().append(largest), Messages{power(true)});

    ControlFrameCodec zero, tooLong, oversized;
    EXPECT_EQ(failureOf([&] { zero.append(Bytes{0, 0, 0, 0}); }), ProtocolFailure::invalidLength);
    // 65,537 is refused on its fourth length byte, before any body byte.
    tooLong.append(Bytes{0, 1, 0});
    EXPECT_EQ(failureOf([&] { tooLong.append(Bytes{1}); }), ProtocolFailure::invalidLength);
    // One byte over the largest frame is refused at once, even when made of valid frames.
    Bytes chunk;
    while (chunk.size() <= 65'541) {
        chunk = chunk + ControlFrameCodec::encode(power(true));
    }
    chunk.resize(65'541);
    EXPECT_EQ(failureOf([&] { oversized.append(chunk); }), ProtocolFailure::invalidLength);
    EXPECT_FALSE(oversized.hasPendingData());

    for (std::size_t size : {0, 65'537}) {
        EXPECT_EQ(failureOf([&] { ControlFrameCodec::frame(std::string(size, ' ')); }),
                  ProtocolFailure::invalidLength);
    }
}

TEST(ControlFrameCodecTest, ReportsTheFailureOfABadBody) {
    // A bad body after a good frame in the same chunk: only the failure comes back.
    ControlFrameCodec codec;
    Messages got;
    auto chunk = ControlFrameCodec::encode(power(true)) + ControlFrameCodec::frame("not json");
    EXPECT_EQ(failureOf([&] { got = codec.append(chunk); }), ProtocolFailure::malformed);
    EXPECT_TRUE(got.empty());

    struct Case {
        std::string body;
        ProtocolFailure failure;
    };
    for (const auto& [body, failure] : std::vector<Case>{
             // Decodes; the validation's own failure comes back unchanged.
             {R"({"version":8,"kind":"hello",)" + ids + R"(,"name":"Old"})",
              ProtocolFailure::incompatible},
             {powerOn + R"(,"adapter":{}})", ProtocolFailure::malformed},
             // Does not decode.
             {R"({"version":9,"kind":"goodbye",)" + ids + "}", ProtocolFailure::malformed},
         }) {
        EXPECT_EQ(failureOf([&] { ControlFrameCodec().append(ControlFrameCodec::frame(body)); }),
                  failure)
            << body;
    }
}

TEST(ControlFrameCodecTest, FinishRefusesAPartialFrame) {
    ControlFrameCodec codec;
    EXPECT_NO_THROW(codec.finish());
    codec.append(ControlFrameCodec::encode(power(true)));
    EXPECT_NO_THROW(codec.finish());
    codec.append(Bytes{0, 0});
    EXPECT_EQ(failureOf([&] { codec.finish(); }), ProtocolFailure::malformed);
    codec.append(Bytes{0, 5});  // a length field alone
    EXPECT_EQ(failureOf([&] { codec.finish(); }), ProtocolFailure::malformed);
}

TEST(ControlFrameCodecTest, RefusesToEncodeAnInvalidMessage) {
    auto old = power(true);
    old.version = 8;
    EXPECT_EQ(failureOf([&] { ControlFrameCodec::encode(old); }), ProtocolFailure::incompatible);
    old.version = 9;
    old.lowPower.reset();
    EXPECT_EQ(failureOf([&] { ControlFrameCodec::encode(old); }), ProtocolFailure::malformed);
    // A value of our own that JSON cannot carry is an error for the caller, never a field
    // silently dropped.
    auto carrier = samples::control(ControlMessage::Kind::speed);
    carrier.speed = samples::speed(SpeedMessage::Kind::tcpReport);
    carrier.speed->transport->duration = std::numeric_limits<double>::infinity();
    EXPECT_THROW(ControlFrameCodec::encode(carrier), json::EncodeError);
}

}  // namespace
}  // namespace sorvanta
