#include "protocol/control_frame_codec.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "protocol/control_message.h"

namespace sorvanta {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes framed(const std::string& body) {
    return ControlFrameCodec::frame(body);
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// Feeds chunks through the byte level and collects the bodies each chunk completed.
struct Bodies {
    ControlFrameCodec codec;

    std::vector<std::string> feed(const Bytes& chunk) {
        std::vector<std::string> bodies;
        codec.reassemble(chunk, [&](std::span<const std::uint8_t> body) {
            bodies.emplace_back(body.begin(), body.end());
        });
        return bodies;
    }
};

ProtocolFailure::Case failureOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const ProtocolFailure& failure) {
        return failure.value();
    }
    ADD_FAILURE() << "no failure thrown";
    return ProtocolFailure::Case::badProbe;
}

TEST(ControlFrameBytesTest, FramesWithABigEndianLength) {
    EXPECT_EQ(framed("{}"), (Bytes{0, 0, 0, 2, '{', '}'}));
    std::string largest(65'536, 'x');
    auto frame = framed(largest);
    ASSERT_EQ(frame.size(), 65'540u);
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 4), (Bytes{0, 1, 0, 0}));
    std::string medium(0x1234, 'y');
    auto mediumFrame = framed(medium);
    EXPECT_EQ(Bytes(mediumFrame.begin(), mediumFrame.begin() + 4), (Bytes{0, 0, 0x12, 0x34}));

    EXPECT_EQ(failureOf([] { framed(""); }), ProtocolFailure::Case::invalidLength);
    EXPECT_EQ(failureOf([] { framed(std::string(65'537, 'x')); }),
              ProtocolFailure::Case::invalidLength);
}

TEST(ControlFrameBytesTest, ReassemblesWhateverTheChunking) {
    auto first = framed("first body");
    auto second = framed("second");
    {  // two frames in one chunk, in stream order
        Bodies bodies;
        EXPECT_EQ(bodies.feed(concat({first, second})),
                  (std::vector<std::string>{"first body", "second"}));
        EXPECT_FALSE(bodies.codec.hasPendingData());
    }
    {  // a chunk ending inside the second frame keeps the rest buffered
        Bodies bodies;
        auto both = concat({first, second});
        EXPECT_EQ(bodies.feed(Bytes(both.begin(), both.end() - 3)),
                  (std::vector<std::string>{"first body"}));
        EXPECT_TRUE(bodies.codec.hasPendingData());
        EXPECT_EQ(bodies.feed(Bytes(both.end() - 3, both.end())),
                  (std::vector<std::string>{"second"}));
        EXPECT_FALSE(bodies.codec.hasPendingData());
    }
    {  // one byte per chunk: the body arrives with its last byte
        Bodies bodies;
        for (std::size_t i = 0; i < first.size(); ++i) {
            auto got = bodies.feed(Bytes{first[i]});
            bool last = i + 1 == first.size();
            EXPECT_EQ(got.size(), last ? 1u : 0u) << i;
            EXPECT_EQ(bodies.codec.hasPendingData(), !last) << i;
        }
    }
    {  // a length field split 3 + 1, the last length byte arriving with the body
        Bodies bodies;
        EXPECT_TRUE(bodies.feed(Bytes(first.begin(), first.begin() + 3)).empty());
        EXPECT_TRUE(bodies.codec.hasPendingData());
        EXPECT_EQ(bodies.feed(Bytes(first.begin() + 3, first.end())),
                  (std::vector<std::string>{"first body"}));
    }
    {  // every split point of three frames in a row
        auto stream = concat({first, second, framed("z")});
        for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
            Bodies bodies;
            auto a = bodies.feed(Bytes(stream.begin(), stream.begin() + cut));
            auto b = bodies.feed(Bytes(stream.begin() + cut, stream.end()));
            a.insert(a.end(), b.begin(), b.end());
            EXPECT_EQ(a, (std::vector<std::string>{"first body", "second", "z"})) << cut;
        }
    }
    {  // an empty chunk changes nothing
        Bodies bodies;
        bodies.feed(Bytes{0, 0});
        EXPECT_TRUE(bodies.feed(Bytes{}).empty());
        EXPECT_TRUE(bodies.codec.hasPendingData());
    }
}

TEST(ControlFrameBytesTest, BoundsLengthFieldAndChunk) {
    {
        Bodies bodies;
        EXPECT_EQ(failureOf([&] {
                      bodies.feed(Bytes{0, 0, 0, 0});
                  }),
                  ProtocolFailure::Case::invalidLength);
    }
    {  // 65,537 fails on the fourth length byte, before any body byte
        Bodies bodies;
        bodies.feed(Bytes{0, 1, 0});
        EXPECT_EQ(failureOf([&] { bodies.feed(Bytes{1}); }), ProtocolFailure::Case::invalidLength);
    }
    {
        Bodies bodies;
        EXPECT_EQ(failureOf([&] {
                      bodies.feed(Bytes{0xFF, 0xFF, 0xFF, 0xFF, 'x'});
                  }),
                  ProtocolFailure::Case::invalidLength);
    }
    {  // 65,536 is accepted; a whole largest frame is one acceptable chunk
        Bodies bodies;
        auto frame = framed(std::string(65'536, 'a'));
        auto got = bodies.feed(frame);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].size(), 65'536u);
    }
    {  // a chunk of 65,541 bytes fails at once, even made of valid frames
        Bodies bodies;
        Bytes chunk;
        while (chunk.size() < 65'541) {
            auto frame = framed("{}");
            chunk.insert(chunk.end(), frame.begin(), frame.end());
        }
        chunk.resize(65'541);
        int seen = 0;
        EXPECT_EQ(failureOf([&] { bodies.codec.reassemble(chunk, [&](auto) { ++seen; }); }),
                  ProtocolFailure::Case::invalidLength);
        EXPECT_EQ(seen, 0);
        EXPECT_FALSE(bodies.codec.hasPendingData());
    }
}

TEST(ControlFrameBytesTest, FinishRefusesAPartialFrame) {
    Bodies fresh;
    EXPECT_NO_THROW(fresh.codec.finish());

    Bodies afterFrame;
    afterFrame.feed(framed("x"));
    EXPECT_NO_THROW(afterFrame.codec.finish());

    Bodies partLength;
    partLength.feed(Bytes{0, 0});
    EXPECT_EQ(failureOf([&] { partLength.codec.finish(); }), ProtocolFailure::Case::malformed);

    Bodies lengthOnly;
    lengthOnly.feed(Bytes{0, 0, 0, 5});
    EXPECT_TRUE(lengthOnly.codec.hasPendingData());
    EXPECT_EQ(failureOf([&] { lengthOnly.codec.finish(); }), ProtocolFailure::Case::malformed);
}

ControlMessage hello() {
    ControlMessage message;
    message.kind = ControlMessage::Kind::hello;
    message.session = *Uuid::parse("6F1D2E3C-0000-4000-8000-00000000000A");
    message.instance = *Uuid::parse("6F1D2E3C-0000-4000-8000-00000000000B");
    message.name = "Studio";
    message.lowPower = false;
    return message;
}

ControlMessage power(bool on) {
    auto message = hello();
    message.kind = ControlMessage::Kind::power;
    message.name.reset();
    message.lowPower = on;
    return message;
}

Bytes bodyFrame(std::string_view json) {
    return ControlFrameCodec::frame(json);
}

TEST(ControlFrameCodecTest, EncodesAndReadsBackMessages) {
    auto frame = ControlFrameCodec::encode(hello());
    ASSERT_GT(frame.size(), 4u);
    std::uint32_t length = (std::uint32_t{frame[0]} << 24) | (std::uint32_t{frame[1]} << 16) |
                           (std::uint32_t{frame[2]} << 8) | frame[3];
    EXPECT_EQ(length, frame.size() - 4);

    ControlFrameCodec codec;
    auto messages = codec.append(frame);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], hello());
    EXPECT_FALSE(codec.hasPendingData());
}

TEST(ControlFrameCodecTest, DeliversMessagesInStreamOrderWhateverTheChunking) {
    auto stream =
        concat({ControlFrameCodec::encode(hello()), ControlFrameCodec::encode(power(true)),
                ControlFrameCodec::encode(power(false))});
    {
        ControlFrameCodec codec;
        auto messages = codec.append(stream);
        ASSERT_EQ(messages.size(), 3u);
        EXPECT_EQ(messages[0], hello());
        EXPECT_EQ(messages[1], power(true));
        EXPECT_EQ(messages[2], power(false));
    }
    {
        ControlFrameCodec codec;
        std::vector<ControlMessage> messages;
        for (std::uint8_t byte : stream) {
            auto got = codec.append(Bytes{byte});
            messages.insert(messages.end(), got.begin(), got.end());
        }
        EXPECT_EQ(messages, (std::vector<ControlMessage>{hello(), power(true), power(false)}));
        EXPECT_NO_THROW(codec.finish());
    }
}

TEST(ControlFrameCodecTest, ReportsTheFailureOfTheFirstBadBody) {
    auto good = ControlFrameCodec::encode(hello());
    {  // a bad body after a good frame in the same chunk: only the failure comes back
        ControlFrameCodec codec;
        std::vector<ControlMessage> got;
        EXPECT_EQ(failureOf([&] {
                      got = codec.append(concat({good, bodyFrame("not json")}));
                  }),
                  ProtocolFailure::Case::malformed);
        EXPECT_TRUE(got.empty());
    }
    std::string session =
        "\"session\":\"6F1D2E3C-0000-4000-8000-00000000000A\","
        "\"instance\":\"6F1D2E3C-0000-4000-8000-00000000000B\"";
    struct Case {
        std::string body;
        ProtocolFailure::Case failure;
    };
    for (const auto& [body, failure] : std::vector<Case>{
             // decodes, but the validation refuses it: the validation's failure
             {"{\"version\":8,\"kind\":\"hello\"," + session + ",\"name\":\"Old\"}",
              ProtocolFailure::Case::incompatible},
             {"{\"version\":9,\"kind\":\"hello\"," + session + "}",
              ProtocolFailure::Case::malformed},
             {"{\"version\":9,\"kind\":\"power\"," + session + ",\"lowPower\":true,\"adapter\":{}}",
              ProtocolFailure::Case::malformed},
             // does not decode at all
             {"{\"version\":9,\"kind\":\"goodbye\"," + session + "}",
              ProtocolFailure::Case::malformed},
             {"{\"version\":\"9\",\"kind\":\"power\"," + session + ",\"lowPower\":true}",
              ProtocolFailure::Case::malformed},
             {"[1,2,3]", ProtocolFailure::Case::malformed},
             {"{\"version\":9,\"kind\":\"power\"," + session + ",\"lowPower\":true} x",
              ProtocolFailure::Case::malformed},
             {std::string(200, '[') + std::string(200, ']'), ProtocolFailure::Case::malformed},
             {"\xFF\xFE", ProtocolFailure::Case::malformed},
         }) {
        ControlFrameCodec codec;
        EXPECT_EQ(failureOf([&] { codec.append(bodyFrame(body)); }), failure) << body;
    }
    // The same message with an unknown extra key is read as if the key were not there.
    ControlFrameCodec codec;
    auto messages = codec.append(bodyFrame("{\"version\":9,\"kind\":\"power\"," + session +
                                           ",\"lowPower\":true,\"extra\":[1]}"));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], power(true));
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
