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

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(SpeedPreambleTest, EncodesTheLayoutInFieldOrder) {
    SpeedPreamble zero{Uuid{}, Uuid{}, Uuid{}, Bytes(32, 0), 1};
    Bytes expected{'S', 'V', 'D', '5', 0x05};
    expected.resize(5 + 80, 0);
    expected.push_back(0x00);
    expected.push_back(0x01);
    EXPECT_EQ(zero.encoded(), expected);

    auto bytes = samplePreamble(255).encoded();
    ASSERT_EQ(bytes.size(), SpeedPreamble::size);
    EXPECT_EQ(bytes[5], 0x00);
    EXPECT_EQ(bytes[20], 0xFF);
    EXPECT_EQ(bytes[21], 0x10);
    EXPECT_EQ(bytes[37], 0xF0);
    EXPECT_EQ(bytes[53], 0xA0);
    EXPECT_EQ(bytes[84], 0xA0 + 31);
    EXPECT_EQ(bytes[85], 0x00);
    EXPECT_EQ(bytes[86], 0xFF);

    // The token is appended as it is, whatever its length.
    SpeedPreamble shortToken = samplePreamble();
    shortToken.token.resize(3);
    EXPECT_EQ(shortToken.encoded().size(), 58u);
}

TEST(SpeedPreambleDecoderTest, CollectsAcrossChunksAndReturnsWhatFollows) {
    auto expected = samplePreamble();
    auto preamble = expected.encoded();

    {  // one byte per call
        SpeedPreambleDecoder decoder;
        for (std::size_t i = 0; i < preamble.size(); ++i) {
            auto rest = decoder.consume(Bytes{preamble[i]}, expected);
            EXPECT_TRUE(rest.empty());
            EXPECT_EQ(decoder.complete(), i + 1 == preamble.size());
        }
        EXPECT_TRUE(decoder.header().empty());
    }
    {  // preamble and payload in one chunk, then a later chunk whole
        SpeedPreambleDecoder decoder;
        Bytes payload(100);
        std::iota(payload.begin(), payload.end(), std::uint8_t{1});
        auto chunk = concat(preamble, payload);
        auto rest = decoder.consume(chunk, expected);
        EXPECT_EQ(Bytes(rest.begin(), rest.end()), payload);
        EXPECT_EQ(rest.data(), chunk.data() + 87);
        Bytes later{9, 8, 7};
        rest = decoder.consume(later, expected);
        EXPECT_EQ(rest.data(), later.data());
        EXPECT_EQ(rest.size(), 3u);
    }
    {  // 50 bytes, then 60: the second completes with its first 37 and returns 23
        SpeedPreambleDecoder decoder;
        auto all = concat(preamble, Bytes(23, 0x5A));
        EXPECT_TRUE(decoder.consume(Bytes(all.begin(), all.begin() + 50), expected).empty());
        EXPECT_EQ(decoder.header().size(), 50u);
        auto second = Bytes(all.begin() + 50, all.end());
        auto rest = decoder.consume(second, expected);
        EXPECT_TRUE(decoder.complete());
        EXPECT_EQ(Bytes(rest.begin(), rest.end()), Bytes(23, 0x5A));
    }
    {  // an empty chunk changes nothing
        SpeedPreambleDecoder decoder;
        decoder.consume(Bytes(preamble.begin(), preamble.begin() + 10), expected);
        EXPECT_TRUE(decoder.consume(Bytes{}, expected).empty());
        EXPECT_EQ(decoder.header().size(), 10u);
        EXPECT_FALSE(decoder.complete());
    }
}

TEST(SpeedPreambleDecoderTest, RefusesEverySingleByteDifference) {
    auto expected = samplePreamble();
    auto preamble = expected.encoded();
    for (std::size_t position = 0; position < preamble.size(); ++position) {
        for (std::uint8_t flip : {0x01, 0x80, 0xFF}) {
            auto altered = preamble;
            altered[position] ^= flip;
            SpeedPreambleDecoder decoder;
            EXPECT_EQ(failureOf(decoder, altered, expected), ProtocolFailure::Case::identityChanged)
                << "position " << position;
            EXPECT_FALSE(decoder.complete());
        }
    }
}

TEST(SpeedPreambleDecoderTest, StageSeparatesCheckAndLoadConnections) {
    auto load = samplePreamble(0);
    auto check = samplePreamble(SpeedPreamble::checkStage);
    SpeedPreambleDecoder expectingCheck;
    EXPECT_EQ(failureOf(expectingCheck, load.encoded(), check),
              ProtocolFailure::Case::identityChanged);
    SpeedPreambleDecoder expectingLoad;
    EXPECT_EQ(failureOf(expectingLoad, check.encoded(), load),
              ProtocolFailure::Case::identityChanged);
}

TEST(SpeedPreambleDecoderTest, MismatchIsSticky) {
    auto expected = samplePreamble();
    auto wrong = expected.encoded();
    wrong[4] = 0x04;  // version byte
    SpeedPreambleDecoder decoder;
    EXPECT_EQ(failureOf(decoder, wrong, expected), ProtocolFailure::Case::identityChanged);
    EXPECT_EQ(decoder.header().size(), 87u);
    // Neither an empty chunk nor the right bytes afterwards bring it back.
    EXPECT_EQ(failureOf(decoder, {}, expected), ProtocolFailure::Case::identityChanged);
    EXPECT_EQ(failureOf(decoder, expected.encoded(), expected),
              ProtocolFailure::Case::identityChanged);
    EXPECT_FALSE(decoder.complete());
}

TEST(SpeedPreambleDecoderTest, BoundsChunkAndExpectedToken) {
    auto expected = samplePreamble();
    {
        SpeedPreambleDecoder decoder;
        auto exact = concat(expected.encoded(), Bytes(131'072 - 87, 0));
        EXPECT_EQ(decoder.consume(exact, expected).size(), 131'072u - 87);
        EXPECT_EQ(decoder.consume(Bytes(131'072, 0), expected).size(), 131'072u);
        // Still bounded after completion.
        EXPECT_EQ(failureOf(decoder, Bytes(131'073, 0), expected),
                  ProtocolFailure::Case::invalidLength);
    }
    {
        SpeedPreambleDecoder decoder;
        decoder.consume(Bytes(5, 'S'), expected);
        EXPECT_EQ(failureOf(decoder, Bytes(131'073, 0), expected),
                  ProtocolFailure::Case::invalidLength);
        EXPECT_EQ(decoder.header().size(), 5u);
    }
    for (std::size_t tokenSize : {0, 31, 33}) {
        auto badToken = expected;
        badToken.token.resize(tokenSize);
        SpeedPreambleDecoder decoder;
        EXPECT_EQ(failureOf(decoder, Bytes{1, 2, 3}, badToken),
                  ProtocolFailure::Case::invalidLength);
        EXPECT_TRUE(decoder.header().empty());
        // Also after completion.
        SpeedPreambleDecoder done;
        done.consume(expected.encoded(), expected);
        EXPECT_EQ(failureOf(done, Bytes{1}, badToken), ProtocolFailure::Case::invalidLength);
    }
}

}  // namespace
}  // namespace sorvanta
