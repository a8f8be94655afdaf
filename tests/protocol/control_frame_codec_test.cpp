#include "protocol/control_frame_codec.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

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

}  // namespace
}  // namespace sorvanta
