#include "support/json_bytes.h"

#include <gtest/gtest.h>

namespace sorvanta {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(JsonBytesTest, TravelsAsPaddedBase64) {
    EXPECT_EQ(json::encode(Bytes{}), R"("")");
    EXPECT_EQ(json::encode(Bytes{0xFB, 0xFF}), R"("+/8=")");
    EXPECT_EQ(json::decode<Bytes>(R"("+/8=")"), (Bytes{0xFB, 0xFF}));
    EXPECT_EQ(json::decode<Bytes>(R"("")"), Bytes{});
}

TEST(JsonBytesTest, RefusesAnythingButCanonicalBase64Text) {
    for (const char* bad :
         {R"([1,2])", "12", "null", R"("+/8")", R"("-_8=")", R"("+/9=")", R"("+/8= ")"}) {
        EXPECT_THROW(json::decode<Bytes>(bad), json::DecodeError) << bad;
    }
}

}  // namespace
}  // namespace sorvanta
