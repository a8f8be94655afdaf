#include "protocol/udp_binding.h"

#include <gtest/gtest.h>

#include "protocol/protocol_failure.h"
#include "protocol/record_coding.h"

namespace sorvanta {
namespace {

UDPBinding binding() {
    std::vector<std::uint8_t> token(32);
    for (std::size_t i = 0; i < token.size(); ++i) {
        token[i] = static_cast<std::uint8_t>(i * 7 + 250);
    }
    return {Uuid::random(), Uuid::random(), Uuid::random(), Uuid::random(), 1, token};
}

TEST(UDPBindingTest, ValidatesLegAndTokenLength) {
    EXPECT_NO_THROW(binding().validate());
    for (std::size_t size : {0u, 31u, 33u}) {
        auto wrong = binding();
        wrong.token.resize(size, 0);
        EXPECT_THROW(wrong.validate(), ProtocolFailure) << size;
    }
    for (std::int64_t leg : {-1, 2}) {
        auto wrong = binding();
        wrong.leg = leg;
        EXPECT_THROW(wrong.validate(), ProtocolFailure) << leg;
    }
    auto zero = binding();
    zero.leg = 0;
    EXPECT_NO_THROW(zero.validate());
}

TEST(UDPBindingTest, RoundTripsWithTheTokenAsBase64) {
    const auto original = binding();
    const auto text = encodeRecord(original);
    EXPECT_NE(text.find(R"("token":")"), std::string::npos);
    EXPECT_EQ(decodeRecord<UDPBinding>(text), original);

    auto spaced = text;
    spaced.insert(spaced.find(R"("token":")") + 9, " ");
    EXPECT_THROW(decodeRecord<UDPBinding>(spaced), ProtocolFailure);
}

}  // namespace
}  // namespace sorvanta
