#include "support/base64.h"

#include <gtest/gtest.h>

namespace sorvanta {
namespace {

std::vector<std::uint8_t> bytesOf(std::string_view text) {
    return {text.begin(), text.end()};
}

TEST(Base64Test, Rfc4648VectorsEncodeAndDecode) {
    const std::pair<std::string_view, std::string_view> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(base64Encode(bytesOf(plain)), encoded);
        EXPECT_EQ(base64Decode(encoded), bytesOf(plain)) << encoded;
    }
}

TEST(Base64Test, EveryByteValueRoundTripsAndUsesTheStandardAlphabet) {
    std::vector<std::uint8_t> all(256);
    for (std::size_t i = 0; i < all.size(); ++i) {
        all[i] = static_cast<std::uint8_t>(i);
    }
    for (std::size_t length = 0; length <= all.size(); length += 32) {
        const std::span<const std::uint8_t> part(all.data(), length);
        EXPECT_EQ(base64Decode(base64Encode(part)),
                  std::vector<std::uint8_t>(part.begin(), part.end()));
    }
    EXPECT_EQ(base64Encode(std::vector<std::uint8_t>{0xfb, 0xff}), "+/8=");
    EXPECT_EQ(base64Decode("+/8="), (std::vector<std::uint8_t>{0xfb, 0xff}));
}

TEST(Base64Test, RefusesAnythingButTheCanonicalForm) {
    const std::string_view refused[] = {
        "Zg",          "Zg=",      "Zm9vY",  // missing padding or wrong length
        "Zm9v\n",      " Zm9v",    "Zm 9v",    "Zm9v\r\n", "Zm\t9v",            // whitespace
        "-_8=",        "Zm9v_w==", "Zm9v-w==",                                  // URL-safe alphabet
        "Zg==Zg==",    "====",     "Z===",     "Zg=a",     "Zm9v====", "=Zm9",  // misplaced '='
        "Zh==",        "Zk==",     "Zm9=",     "Zm+=",  // non-zero unused bits in the last group
        "Zm9\xc3\xa9", "Zm9v*A==",
    };
    for (std::string_view text : refused) {
        EXPECT_FALSE(base64Decode(text).has_value()) << text;
    }
    EXPECT_FALSE(base64Decode(std::string_view("Zm\0v", 4)).has_value());
}

}  // namespace
}  // namespace sorvanta
