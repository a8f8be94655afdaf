#include "protocol/speed_preamble.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "protocol_checks.h"

namespace sorvanta {
namespace {

using namespace checks;

SpeedPreamble sample(std::uint8_t stage = 1) {
    Bytes token(32);
    std::iota(token.begin(), token.end(), std::uint8_t{0xA0});
    return {*Uuid::parse("00112233-4455-6677-8899-AABBCCDDEEFF"),
            *Uuid::parse("10203040-5060-7080-90A0-B0C0D0E0F000"),
            *Uuid::parse("F0E0D0C0-B0A0-9080-7060-504030201000"), token, stage};
}

std::optional<ProtocolFailure> consuming(SpeedPreambleDecoder& decoder, const Bytes& chunk,
                                         const SpeedPreamble& expected) {
    return failureOf([&] { decoder.consume(chunk, expected); });
}

TEST(SpeedPreambleTest, EncodesTheLayoutInFieldOrder) {
    EXPECT_EQ((SpeedPreamble{Uuid{}, Uuid{}, Uuid{}, Bytes(32, 0), 1}.encoded()),
              (Bytes{'S', 'V', 'D', '5', 0x05} + Bytes(80, 0) + Bytes{0x00, 0x01}));
    auto bytes = sample(255).encoded();
    ASSERT_EQ(bytes.size(), 87u);
    // First and last byte of run, session, sender and token, then the zero and stage bytes.
    const std::vector<std::pair<std::size_t, int>> expected{
        {5, 0x00},  {20, 0xFF}, {21, 0x10}, {36, 0x00}, {37, 0xF0},
        {52, 0x00}, {53, 0xA0}, {84, 0xBF}, {85, 0x00}, {86, 0xFF}};
    for (auto [offset, value] : expected) {
        EXPECT_EQ(bytes[offset], value) << offset;
    }
}

TEST(SpeedPreambleDecoderTest, CollectsAcrossChunksAndReturnsWhatFollows) {
    const auto expected = sample();
    const auto stream = expected.encoded() + Bytes(100, 0x42);
    // One byte per call, 50 + 60 bytes (the second completes with its first 37 and returns
    // its last 23), and the whole at once.
    for (std::vector<std::size_t> cuts : {std::vector<std::size_t>(87, 1), {50, 60}, {187}}) {
        SpeedPreambleDecoder decoder;
        std::size_t at = 0;
        Bytes after;
        for (std::size_t size : cuts) {
            EXPECT_TRUE(decoder.consume(Bytes{}, expected).empty());  // changes nothing
            Bytes chunk(stream.begin() + at, stream.begin() + at + size);
            auto rest = decoder.consume(chunk, expected);
            at += size;
            EXPECT_EQ(decoder.complete(), at >= 87);
            EXPECT_EQ(decoder.header().size(), at >= 87 ? 0 : at);
            after.insert(after.end(), rest.begin(), rest.end());
        }
        EXPECT_EQ(after, Bytes(stream.begin() + 87, stream.begin() + at)) << cuts.size();
        Bytes later{9, 8, 7};
        EXPECT_EQ(decoder.consume(later, expected).data(), later.data());  // whole, uncopied
    }
}

// Any byte: magic, version, identifiers, token, the zero byte, the stage byte (so a check
// connection's preamble is not a load connection's).
TEST(SpeedPreambleDecoderTest, RefusesEverySingleByteDifferenceForGood) {
    const auto expected = sample();
    const auto preamble = expected.encoded();
    for (std::size_t position = 0; position < preamble.size(); ++position) {
        for (std::uint8_t flip : {0x01, 0x80, 0xFF}) {
            auto altered = preamble;
            altered[position] ^= flip;
            SpeedPreambleDecoder decoder;
            // The difference lies sometimes in the completing chunk, sometimes before it.
            decoder.consume(Bytes(altered.begin(), altered.begin() + 40), expected);
            EXPECT_EQ(consuming(decoder, Bytes(altered.begin() + 40, altered.end()), expected),
                      ProtocolFailure::identityChanged)
                << position;
            // Sticky: neither an empty chunk nor the right bytes bring it back.
            EXPECT_EQ(consuming(decoder, {}, expected), ProtocolFailure::identityChanged);
            EXPECT_EQ(consuming(decoder, preamble, expected), ProtocolFailure::identityChanged);
            EXPECT_FALSE(decoder.complete());
        }
    }
}

TEST(SpeedPreambleDecoderTest, BoundsChunkAndExpectedToken) {
    const auto expected = sample();
    SpeedPreambleDecoder done, partial;
    EXPECT_EQ(done.consume(expected.encoded() + Bytes(131'072 - 87, 0), expected).size(),
              131'072u - 87);
    EXPECT_EQ(done.consume(Bytes(131'072, 0), expected).size(), 131'072u);
    partial.consume(Bytes(5, 'S'), expected);
    for (auto* decoder : {&done, &partial}) {
        EXPECT_EQ(consuming(*decoder, Bytes(131'073, 0), expected), ProtocolFailure::invalidLength);
        for (std::size_t tokenSize : {0, 31, 33}) {
            auto badToken = expected;
            badToken.token.resize(tokenSize);
            EXPECT_EQ(consuming(*decoder, Bytes{1, 2, 3}, badToken),
                      ProtocolFailure::invalidLength);
        }
    }
    EXPECT_EQ(partial.header().size(), 5u);  // unchanged by the refusals
}

}  // namespace
}  // namespace sorvanta
