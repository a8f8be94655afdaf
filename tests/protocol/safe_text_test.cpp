#include "protocol/safe_text.h"

#include <gtest/gtest.h>

namespace sorvanta {
namespace {

TEST(SafeTextTest, RefusesControlsSeparatorsAndFormatCharacters) {
    for (const char* bad : {
             "a\tb", "line\n", "\r", "\x7F", "\xC2\x80",
             "\xC2\x9F",            // Cc incl. C1
             "\xE2\x80\xA8",        // U+2028 Zl
             "\xE2\x80\xA9",        // U+2029 Zp
             "soft\xC2\xADhyphen",  // U+00AD Cf
             "\xE2\x80\x8B", "\xE2\x80\x8D", "\xE2\x80\xAE", "\xEF\xBB\xBF",
             "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9",  // emoji joined by U+200D
         }) {
        EXPECT_FALSE(isSafeText(bad)) << bad;
    }
    EXPECT_FALSE(isSafeText(std::string_view("a\0b", 3)));
}

TEST(SafeTextTest, AcceptsOrdinaryText) {
    for (const char* good : {
             "", "Studio", "a b",
             "no\xC2\xA0"
             "break",
             "Caf\xC3\xA9", "\xE4\xB8\xAD\xE6\x96\x87",
             "\xF0\x9F\x98\x80",  // a lone emoji
             "\xEE\x80\x80",      // private use
             "\xF0\xB0\x80\x80",  // unassigned today
         }) {
        EXPECT_TRUE(isSafeText(good)) << good;
    }
}

}  // namespace
}  // namespace sorvanta

namespace sorvanta {
namespace {

TEST(SafeTextTest, IllFormedBytesDoNotHideALaterControl) {
    EXPECT_TRUE(isSafeText("\xFF\xFE ok"));
    EXPECT_FALSE(isSafeText("\xE2\x80 then\n"));
    EXPECT_FALSE(isSafeText("\xF0\x9F\x98\x0A"));  // truncated sequence swallowing no LF
}

}  // namespace
}  // namespace sorvanta
