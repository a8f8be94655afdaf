#include "support/unicode_text.h"

#include <gtest/gtest.h>

namespace sorvanta {
namespace {

using Scalars = std::vector<char32_t>;

TEST(UnicodeTextTest, DecodesScalarsAtEveryLengthBoundary) {
    EXPECT_EQ(unicodeScalars(""), Scalars{});
    EXPECT_EQ(unicodeScalars(std::string_view("\0", 1)), Scalars{0});
    EXPECT_EQ(unicodeScalars("A\x7f"), (Scalars{0x41, 0x7f}));
    EXPECT_EQ(unicodeScalars("\xc2\x80\xdf\xbf"), (Scalars{0x80, 0x7ff}));
    EXPECT_EQ(unicodeScalars("\xe0\xa0\x80\xed\x9f\xbf\xee\x80\x80\xef\xbf\xbf"),
              (Scalars{0x800, 0xd7ff, 0xe000, 0xffff}));
    EXPECT_EQ(unicodeScalars("\xf0\x90\x80\x80\xf4\x8f\xbf\xbf"), (Scalars{0x10000, 0x10ffff}));
    EXPECT_EQ(unicodeScalars("caf\xc3\xa9 \xe2\x82\xac"),
              (Scalars{'c', 'a', 'f', 0xe9, ' ', 0x20ac}));
}

TEST(UnicodeTextTest, RefusesIllFormedUtf8) {
    const std::string_view refused[] = {
        "\x80",
        "a\xbf",  // stray continuation bytes
        "\xc0\x80",
        "\xc1\xbf",  // overlong two-byte forms
        "\xe0\x80\x80",
        "\xe0\x9f\xbf",
        "\xf0\x8f\xbf\xbf",  // overlong longer forms
        "\xed\xa0\x80",
        "\xed\xbf\xbf",  // UTF-16 surrogates
        "\xf4\x90\x80\x80",
        "\xf5\x80\x80\x80",
        "\xff",
        "\xfe",  // beyond U+10FFFF
        "\xc3",
        "\xe2\x82",
        "\xf0\x9f\x98",
        "abc\xe2",  // cut short
        "\xc3\x41",
        "\xe2\x28\xac",
        "\xf0\x9f\x98\x28",  // bad continuation
    };
    for (std::string_view text : refused) {
        EXPECT_FALSE(unicodeScalars(text).has_value()) << testing::PrintToString(text);
        EXPECT_FALSE(isValidUtf8(text));
        EXPECT_FALSE(graphemeClusters(text).has_value());
        EXPECT_FALSE(graphemeClusterCount(text).has_value());
    }
}

TEST(UnicodeTextTest, NeverReadsPastTheEndOfTheText) {
    // Heap buffers of exact size: a read past the end is a sanitizer report.
    for (const std::vector<char>& bytes : {std::vector<char>{'\xe2', '\x82'},
                                           std::vector<char>{'\xf0'}, std::vector<char>{'\xc3'}}) {
        EXPECT_FALSE(unicodeScalars(std::string_view(bytes.data(), bytes.size())));
    }
    // A view shorter than its buffer ends where the view ends.
    const std::string whole = "\xc3\xa9";
    EXPECT_FALSE(unicodeScalars(std::string_view(whole).substr(0, 1)));
    std::size_t next = 99;
    EXPECT_FALSE(decodeUtf8Scalar(whole, 2, next));
    EXPECT_EQ(decodeUtf8Scalar(whole, 0, next), U'\u00e9');
    EXPECT_EQ(next, 2u);
}

TEST(UnicodeTextTest, WalkStopsWhenTheVisitorSaysSo) {
    int visited = 0;
    EXPECT_FALSE(forEachUnicodeScalar("abc", [&](char32_t scalar) {
        ++visited;
        return scalar != 'b';
    }));
    EXPECT_EQ(visited, 2);
    // The visitor sees each valid scalar before the walk fails on a later bad byte.
    visited = 0;
    EXPECT_FALSE(forEachUnicodeScalar("ab\xff", [&](char32_t) { return ++visited > 0; }));
    EXPECT_EQ(visited, 2);
    EXPECT_EQ(utf8ByteLength("\xf0\x9f\x91\x8d"), 4u);
}

TEST(UnicodeTextTest, AppendUtf8RoundTripsScalarsAndReplacesNonScalars) {
    const Scalars scalars = {0,      0x7f,   0x80,   0x7ff,   0x800,
                             0xd7ff, 0xe000, 0xffff, 0x10000, 0x10ffff};
    std::string text;
    for (char32_t scalar : scalars) {
        appendUtf8(text, scalar);
    }
    EXPECT_EQ(unicodeScalars(text), scalars);
    std::string replaced;
    appendUtf8(replaced, 0xd800);
    appendUtf8(replaced, 0x110000);
    EXPECT_EQ(replaced, "\xef\xbf\xbd\xef\xbf\xbd");
}

TEST(UnicodeTextTest, GeneralCategoriesAndTheRefusedFour) {
    EXPECT_EQ(generalCategory('A'), U_UPPERCASE_LETTER);
    EXPECT_EQ(generalCategory(0x2028), U_LINE_SEPARATOR);
    EXPECT_EQ(generalCategory(0x2029), U_PARAGRAPH_SEPARATOR);
    EXPECT_EQ(generalCategory(0x200d), U_FORMAT_CHAR);
    EXPECT_EQ(generalCategory(0x1f600), U_OTHER_SYMBOL);
    for (char32_t refused : {0x00u, 0x09u, 0x0au, 0x1fu, 0x7fu, 0x85u, 0x9fu, 0x2028u, 0x2029u,
                             0x00adu, 0x200bu, 0x200du, 0x202eu, 0xfeffu, 0xe0001u}) {
        EXPECT_TRUE(isControlFormatOrLineSeparator(refused))
            << std::hex << static_cast<std::uint32_t>(refused);
    }
    // Spaces, private use, unassigned and noncharacters are none of the four.
    for (char32_t allowed : {0x20u, 0x41u, 0xa0u, 0x3000u, 0xe000u, 0x378u, 0xffffu, 0x1f468u,
                             0x301u, 0x2019u, 0xb7u}) {
        EXPECT_FALSE(isControlFormatOrLineSeparator(allowed))
            << std::hex << static_cast<std::uint32_t>(allowed);
    }
}

TEST(UnicodeTextTest, GraphemeClustersFollowExtendedRules) {
    using Clusters = std::vector<std::string>;
    const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";  // ZWJ sequence
    const std::string thumbsUpTone = "\U0001F44D\U0001F3FD";
    const std::string france = "\U0001F1EB\U0001F1F7";
    const std::string germany = "\U0001F1E9\U0001F1EA";
    EXPECT_EQ(graphemeClusters(""), Clusters{});
    EXPECT_EQ(graphemeClusters("e\u0301x"), (Clusters{"e\u0301", "x"}));  // combining accent
    EXPECT_EQ(graphemeClusters("a" + family + "b"), (Clusters{"a", family, "b"}));
    EXPECT_EQ(graphemeClusters(france + germany), (Clusters{france, germany}));
    // An odd regional indicator stands alone after the pairs.
    EXPECT_EQ(graphemeClusters(france + "\U0001F1E9"), (Clusters{france, "\U0001F1E9"}));
    EXPECT_EQ(graphemeClusters(thumbsUpTone + "\r\n"), (Clusters{thumbsUpTone, "\r\n"}));
    EXPECT_EQ(graphemeClusters("\u1100\u1161\u11A8!"), (Clusters{"\u1100\u1161\u11A8", "!"}));
    EXPECT_EQ(graphemeClusterCount("caf\u00e9 " + family + france), 7u);
    EXPECT_EQ(graphemeClusterCount(std::string_view("a\0b", 3)), 3u);
}

TEST(UnicodeTextTest, GraphemeClustersOfLongTextJoinBackIntoIt) {
    std::string text;
    for (int i = 0; i < 500; ++i) {
        text += "n\u0303\U0001F469\u200D\U0001F4BB";
    }
    const auto clusters = graphemeClusters(text);
    ASSERT_TRUE(clusters);
    EXPECT_EQ(clusters->size(), 1000u);
    std::string joined;
    for (const auto& cluster : *clusters) {
        joined += cluster;
    }
    EXPECT_EQ(joined, text);
}

}  // namespace
}  // namespace sorvanta
