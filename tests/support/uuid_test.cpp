#include "support/uuid.h"

#include <gtest/gtest.h>

#include <set>

namespace sorvanta {
namespace {

TEST(UuidTest, ParsesEitherCaseAndWritesUpperCase) {
    auto lower = Uuid::parse("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
    auto upper = Uuid::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    ASSERT_TRUE(lower && upper);
    EXPECT_EQ(*lower, *upper);
    EXPECT_EQ(lower->text(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    EXPECT_EQ(lower->bytes()[0], 0xE6);
    EXPECT_EQ(lower->bytes()[15], 0x5F);
}

TEST(UuidTest, RefusesEveryOtherForm) {
    for (const char* bad : {
             "{E621E1F8-C36C-495A-93FC-0C247A3E6E5F}",
             "E621E1F8C36C495A93FC0C247A3E6E5F",
             "E621E1F8-C36C-495A-93FC-0C247A3E6E5",
             "E621E1F8-C36C-495A-93FC-0C247A3E6E5F0",
             "E621E1F8-C36C-495A93FC-0C247A3E6E5F-",
             "G621E1F8-C36C-495A-93FC-0C247A3E6E5F",
             " E621E1F8-C36C-495A-93FC-0C247A3E6E5",
             "",
         }) {
        EXPECT_FALSE(Uuid::parse(bad).has_value()) << bad;
    }
}

TEST(UuidTest, RandomIdentifiersAreVersionFourAndDistinct) {
    std::set<Uuid> seen;
    for (int i = 0; i < 1000; ++i) {
        Uuid id = Uuid::random();
        EXPECT_EQ(id.bytes()[6] >> 4, 4);
        EXPECT_EQ(id.bytes()[8] & 0xC0, 0x80);
        EXPECT_EQ(Uuid::parse(id.text()), id);
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 1000u);
    EXPECT_TRUE(Uuid().isNil());
}

}  // namespace
}  // namespace sorvanta
