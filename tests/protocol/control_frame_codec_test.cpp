#include "protocol/control_frame_codec.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "protocol/control_message.h"

namespace sorvanta {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Messages = std::vector<ControlMessage>;

ProtocolFailure::Case failureOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const ProtocolFailure& failure) {
        return failure.value();
    }
    ADD_FAILURE() << "no failure thrown";
    return ProtocolFailure::Case::badProbe;
}

ControlMessage power(bool on) {
    ControlMessage message;
    message.kind = ControlMessage::Kind::power;
    message.session = *Uuid::parse("6F1D2E3C-0000-4000-8000-00000000000A");
    message.instance = *Uuid::parse("6F1D2E3C-0000-4000-8000-00000000000B");
    message.lowPower = on;
    return message;
}

ControlMessage hello() {
    auto message = power(false);
    message.kind = ControlMessage::Kind::hello;
    message.name = "Studio";
    return message;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Messages feed(ControlFrameCodec& codec, const Bytes& chunk) {
    return codec.append(chunk);
}

TEST(ControlFrameCodecTest, ReassemblesWhateverTheChunking) {
    auto first = ControlFrameCodec::encode(hello());
    ASSERT_EQ(Bytes(first.begin(), first.begin() + 4),
              (Bytes{0, 0, 0, static_cast<std::uint8_t>(first.size() - 4)}));
    auto stream =
        first + ControlFrameCodec::encode(power(true)) + ControlFrameCodec::encode(power(false));
    const Messages all{hello(), power(true), power(false)};

    ControlFrameCodec whole;
    EXPECT_EQ(feed(whole, stream), all);

    // Every cut into two chunks, which includes a split length field and a chunk ending
    // inside the second frame.
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        ControlFrameCodec codec;
        auto got = feed(codec, Bytes(stream.begin(), stream.begin() + cut));
        auto rest = feed(codec, Bytes(stream.begin() + cut, stream.end()));
        got.insert(got.end(), rest.begin(), rest.end());
        ASSERT_EQ(got, all) << "cut at " << cut;
    }

    // One byte per chunk: each message arrives with its last byte.
    ControlFrameCodec codec;
    Messages got;
    for (std::size_t i = 0; i < stream.size(); ++i) {
        auto completed = feed(codec, Bytes{stream[i]});
        bool frameEnd = i + 1 == first.size() || i + 1 == stream.size();
        if (frameEnd) {
            EXPECT_EQ(completed.size(), 1u) << i;
            EXPECT_FALSE(codec.hasPendingData());
        } else if (i < first.size()) {
            EXPECT_TRUE(completed.empty());
            EXPECT_TRUE(codec.hasPendingData()) << i;
        }
        got.insert(got.end(), completed.begin(), completed.end());
    }
    EXPECT_EQ(got, all);
    EXPECT_TRUE(feed(codec, Bytes{}).empty());
}

TEST(ControlFrameCodecTest, BoundsLengthFieldAndChunk) {
    ControlFrameCodec zero;
    EXPECT_EQ(failureOf([&] {
                  feed(zero, Bytes{0, 0, 0, 0});
              }),
              ProtocolFailure::Case::invalidLength);
    // 65,537 is refused on its fourth length byte, before any body byte.
    ControlFrameCodec tooLong;
    feed(tooLong, Bytes{0, 1, 0});
    EXPECT_EQ(failureOf([&] { feed(tooLong, Bytes{1}); }), ProtocolFailure::Case::invalidLength);

    // 65,536 is accepted, and a largest frame is an acceptable chunk.
    ControlFrameCodec largest;
    int bodies = 0;
    largest.reassemble(ControlFrameCodec::frame(std::string(65'536, ' ')), [&](auto body) {
        EXPECT_EQ(body.size(), 65'536u);
        ++bodies;
    });
    EXPECT_EQ(bodies, 1);

    // A chunk of 65,541 bytes is refused at once, even when made of valid frames.
    Bytes chunk;
    while (chunk.size() < 65'541) {
        chunk = chunk + ControlFrameCodec::encode(power(true));
    }
    chunk.resize(65'541);
    ControlFrameCodec oversized;
    EXPECT_EQ(failureOf([&] { feed(oversized, chunk); }), ProtocolFailure::Case::invalidLength);
    EXPECT_FALSE(oversized.hasPendingData());

    EXPECT_EQ(failureOf([] { ControlFrameCodec::frame(""); }),
              ProtocolFailure::Case::invalidLength);
    EXPECT_EQ(failureOf([] { ControlFrameCodec::frame(std::string(65'537, ' ')); }),
              ProtocolFailure::Case::invalidLength);
}

TEST(ControlFrameCodecTest, ReportsTheFailureOfABadBody) {
    auto frame = [](const std::string& body) { return ControlFrameCodec::frame(body); };
    // A bad body after a good frame in the same chunk: only the failure comes back.
    ControlFrameCodec codec;
    Messages got;
    EXPECT_EQ(failureOf([&] {
                  got = feed(codec, ControlFrameCodec::encode(hello()) + frame("not json"));
              }),
              ProtocolFailure::Case::malformed);
    EXPECT_TRUE(got.empty());

    std::string ids =
        "\"session\":\"6F1D2E3C-0000-4000-8000-00000000000A\","
        "\"instance\":\"6F1D2E3C-0000-4000-8000-00000000000B\"";
    auto power = "{\"version\":9,\"kind\":\"power\"," + ids + ",\"lowPower\":true";
    for (const auto& [body, failure] : std::vector<std::pair<std::string, ProtocolFailure::Case>>{
             // decodes, then the validation's own failure
             {"{\"version\":8,\"kind\":\"hello\"," + ids + ",\"name\":\"Old\"}",
              ProtocolFailure::Case::incompatible},
             {power + ",\"adapter\":{}}", ProtocolFailure::Case::malformed},
             // does not decode
             {"{\"version\":9,\"kind\":\"goodbye\"," + ids + "}", ProtocolFailure::Case::malformed},
             {"{\"version\":\"9\"" + power.substr(12) + "}", ProtocolFailure::Case::malformed},
             {power + "} x", ProtocolFailure::Case::malformed},
             {std::string(300, '[') + std::string(300, ']'), ProtocolFailure::Case::malformed},
             {"\xFF\xFE", ProtocolFailure::Case::malformed},
         }) {
        ControlFrameCodec fresh;
        EXPECT_EQ(failureOf([&] { feed(fresh, frame(body)); }), failure) << body;
    }
    ControlFrameCodec fresh;
    EXPECT_EQ(feed(fresh, frame(power + ",\"extra\":[1]}")), Messages{sorvanta::power(true)});
}

TEST(ControlFrameCodecTest, FinishRefusesAPartialFrame) {
    ControlFrameCodec codec;
    EXPECT_NO_THROW(codec.finish());
    feed(codec, ControlFrameCodec::encode(hello()));
    EXPECT_NO_THROW(codec.finish());
    feed(codec, Bytes{0, 0});
    EXPECT_EQ(failureOf([&] { codec.finish(); }), ProtocolFailure::Case::malformed);
    feed(codec, Bytes{0, 5});
    EXPECT_TRUE(codec.hasPendingData());
    EXPECT_EQ(failureOf([&] { codec.finish(); }), ProtocolFailure::Case::malformed);
}

TEST(ControlFrameCodecTest, RefusesToEncodeAnInvalidMessage) {
    auto old = hello();
    old.version = 8;
    EXPECT_EQ(failureOf([&] { ControlFrameCodec::encode(old); }),
              ProtocolFailure::Case::incompatible);
    auto nameless = hello();
    nameless.name.reset();
    EXPECT_EQ(failureOf([&] { ControlFrameCodec::encode(nameless); }),
              ProtocolFailure::Case::malformed);
}

}  // namespace
}  // namespace sorvanta
