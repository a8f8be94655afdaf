#include "protocol/speed_preamble.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "protocol/protocol_failure.h"

namespace sorvanta {
namespace {

using Bytes = std::vector<std::uint8_t>;

SpeedPreamble samplePreamble(std::uint8_t stage = 1) {
    Bytes token(32);
    std::iota(token.begin(), token.end(), std::uint8_t{0xA0});
    return {*Uuid::parse("00112233-4455-6677-8899-AABBCCDDEEFF"),
            *Uuid::parse("10203040-5060-7080-90A0-B0C0D0E0F000"),
            *Uuid::parse("F0E0D0C0-B0A0-9080-7060-504030201000"), token, stage};
}

ProtocolFailure::Case failureOf(SpeedPreambleDecoder& decoder, const Bytes& chunk,
                                const SpeedPreamble& expected) {
    try {
        decoder.consume(chunk, expected);
    } catch (const ProtocolFailure& failure) {
        return failure.value();
    }
    ADD_FAILURE() << "no failure thrown";
    return ProtocolFailure::Case::badProbe;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(SpeedPreambleTest, EncodesTheLayoutInFieldOrder) {
    Bytes zeroLayout = Bytes{'S', 'V', 'D', '5', 0x05} + Bytes(80, 0) + Bytes{0x00, 0x01};
    EXPECT_EQ((SpeedPreamble{Uuid{}, Uuid{}, Uuid{}, Bytes(32, 0), 1}.encoded()), zeroLayout);

    auto bytes = samplePreamble(255).encoded();
    ASSERT_EQ(bytes.size(), 87u);
    // First and last byte of run, session, sender and token, then the zero and stage bytes.
    for (auto [offset, value] : std::vector<std::pair<std::size_t, int>>{{5, 0x00},
                                                                         {20, 0xFF},
                                                                         {21, 0x10},
                                                                         {36, 0x00},
                                                                         {37, 0xF0},
                                                                         {52, 0x00},
                                                                         {53, 0xA0},
                                                                         {84, 0xBF},
                                                                         {85, 0x00},
                                                                         {86, 0xFF}}) {
        EXPECT_EQ(bytes[offset], value) << offset;
    }
}

TEST(SpeedPreambleDecoderTest, CollectsAcrossChunksAndReturnsWhatFollows) {
    auto expected = samplePreamble();
    auto preamble = expected.encoded();

    SpeedPreambleDecoder bytewise;
    for (std::size_t i = 0; i < preamble.size(); ++i) {
        EXPECT_TRUE(bytewise.consume(Bytes{preamble[i]}, expected).empty());
        EXPECT_EQ(bytewise.complete(), i == 86);
    }
    EXPECT_TRUE(bytewise.header().empty());
    Bytes later{9, 8, 7};
    auto whole = bytewise.consume(later, expected);
    EXPECT_EQ(whole.data(), later.data());  // returned whole, not copied
    EXPECT_EQ(whole.size(), 3u);

    SpeedPreambleDecoder withPayload;
    auto chunk = preamble + Bytes(100, 0x42);
    auto rest = withPayload.consume(chunk, expected);
    EXPECT_EQ(rest.data(), chunk.data() + 87);
    EXPECT_EQ(rest.size(), 100u);

    // 50 bytes, then 60: the second completes with its first 37 and returns its last 23.
    SpeedPreambleDecoder split;
    auto all = preamble + Bytes(23, 0x5A);
    EXPECT_TRUE(split.consume(Bytes(all.begin(), all.begin() + 50), expected).empty());
    EXPECT_TRUE(split.consume(Bytes{}, expected).empty());
    EXPECT_EQ(split.header().size(), 50u);
    Bytes second(all.begin() + 50, all.end());
    rest = split.consume(second, expected);
    EXPECT_TRUE(split.complete());
    EXPECT_EQ(Bytes(rest.begin(), rest.end()), Bytes(23, 0x5A));
}

TEST(SpeedPreambleDecoderTest, RefusesEverySingleByteDifferenceForGood) {
    auto expected = samplePreamble();
    auto preamble = expected.encoded();
    for (std::size_t position = 0; position < preamble.size(); ++position) {
        for (std::uint8_t flip : {0x01, 0x80, 0xFF}) {
            auto altered = preamble;
            altered[position] ^= flip;
            SpeedPreambleDecoder decoder;
            // Split so that the difference is sometimes in the completing chunk, sometimes not.
            decoder.consume(Bytes(altered.begin(), altered.begin() + 40), expected);
            EXPECT_EQ(failureOf(decoder, Bytes(altered.begin() + 40, altered.end()), expected),
                      ProtocolFailure::Case::identityChanged)
                << "position " << position;
            // Sticky: neither an empty chunk nor more bytes bring it back.
            EXPECT_EQ(failureOf(decoder, {}, expected), ProtocolFailure::Case::identityChanged);
            EXPECT_EQ(failureOf(decoder, preamble, expected),
                      ProtocolFailure::Case::identityChanged);
            EXPECT_FALSE(decoder.complete());
            EXPECT_EQ(decoder.header().size(), 87u);
        }
    }
    // A load connection's preamble is not a check connection's, and the reverse.
    SpeedPreambleDecoder expectingCheck, expectingLoad;
    EXPECT_EQ(failureOf(expectingCheck, samplePreamble(0).encoded(), samplePreamble(255)),
              ProtocolFailure::Case::identityChanged);
    EXPECT_EQ(failureOf(expectingLoad, samplePreamble(255).encoded(), samplePreamble(0)),
              ProtocolFailure::Case::identityChanged);
}

TEST(SpeedPreambleDecoderTest, BoundsChunkAndExpectedToken) {
    auto expected = samplePreamble();
    SpeedPreambleDecoder done;
    EXPECT_EQ(done.consume(expected.encoded() + Bytes(131'072 - 87, 0), expected).size(),
              131'072u - 87);
    EXPECT_EQ(done.consume(Bytes(131'072, 0), expected).size(), 131'072u);
    EXPECT_EQ(failureOf(done, Bytes(131'073, 0), expected), ProtocolFailure::Case::invalidLength);

    SpeedPreambleDecoder partial;
    partial.consume(Bytes(5, 'S'), expected);
    EXPECT_EQ(failureOf(partial, Bytes(131'073, 0), expected),
              ProtocolFailure::Case::invalidLength);
    EXPECT_EQ(partial.header().size(), 5u);

    for (std::size_t tokenSize : {0, 31, 33}) {
        auto badToken = expected;
        badToken.token.resize(tokenSize);
        EXPECT_EQ(failureOf(partial, Bytes{1, 2, 3}, badToken),
                  ProtocolFailure::Case::invalidLength);
        EXPECT_EQ(partial.header().size(), 5u);
        EXPECT_EQ(failureOf(done, Bytes{1}, badToken), ProtocolFailure::Case::invalidLength);
    }
}

}  // namespace
}  // namespace sorvanta
