#include "protocol/mac_model.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace sorvanta {
namespace {

TEST(MacModelTest, IdentifierRule) {
    const std::string longest = std::string(29, 'M') + "1,2";  // 32 bytes
    const std::string tooLong = "M" + longest;                 // matches the pattern
    for (const std::string good : {"Mac14,2", "MacBookPro18,3", "a1,2", longest.c_str()}) {
        EXPECT_TRUE(MacModel::isValidIdentifier(good)) << good;
    }
    // Nothing may follow the last digit, not even the line break a pattern's "$" would allow.
    for (const std::string bad :
         {"Mac14", "14,2", "Mac14,2a", "Ma", "", "Mac,2", "Mac14,", "Mac14,,2", "Mac 14,2",
          " Mac14,2", "Mac1\xD9\xA4,2", "Mac14.2", "Mac14,2\n", "Mac14,2\r", tooLong.c_str()}) {
        EXPECT_FALSE(MacModel::isValidIdentifier(bad)) << bad;
    }
    EXPECT_FALSE(MacModel::isValidIdentifier(std::string_view("Mac14,2\0", 8)));
    EXPECT_FALSE(MacModel::isValidIdentifier(std::nullopt));
}

TEST(MacModelTest, ProductNameContents) {
    EXPECT_EQ(MacModel::fromProductName("MacBookPro18,3\n"), "MacBookPro18,3");
    EXPECT_EQ(MacModel::fromProductName(std::string_view("Mac14,2\0junk\n", 13)), "Mac14,2");
    // Only the kernel's one closing line break is removed.
    EXPECT_EQ(MacModel::fromProductName("Mac14,2\n\n"), std::nullopt);
    EXPECT_EQ(MacModel::fromProductName("Standard PC (Q35 + ICH9, 2009)\n"), std::nullopt);
    EXPECT_EQ(MacModel::fromProductName("\n"), std::nullopt);
    // A value of 64 bytes or more (65 with its terminator) is refused whatever it holds.
    const std::string valid = "Mac14,2";
    EXPECT_EQ(MacModel::fromProductName(valid + std::string(56, '\0') + "\n"), valid);  // 63
    EXPECT_EQ(MacModel::fromProductName(valid + std::string(57, '\0') + "\n"), std::nullopt);
}

}  // namespace
}  // namespace sorvanta
