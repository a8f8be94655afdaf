#include "assessment/text/display_format.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace sorvanta {
namespace {

using namespace std::chrono;

TEST(DisplayFormatTest, LocaleTextsRoundHalfEvenOnTheShortestDecimal) {
    const DisplayFormat en("en_US", "UTC");
    const DisplayFormat de("de_DE", "Europe/Berlin");
    struct Case {
        double value;
        const char* enRate;
        const char* deRate;
        const char* enNumber;
    };
    const Case cases[] = {
        {2.675e9, "2.68 Gbps", "2,68 Gbps", "2,675,000,000"},
        {1.015e9, "1.02 Gbps", "1,02 Gbps", "1,015,000,000"},
        {0.125e6, "0.12 Mbps", "0,12 Mbps", "125,000"},
        {999'999'999, "1,000 Mbps", "1.000 Mbps", "999,999,999"},
        {1e9, "1 Gbps", "1 Gbps", "1,000,000,000"},
        {2.35e9, "2.35 Gbps", "2,35 Gbps", "2,350,000,000"},
        {941'234'567, "941.23 Mbps", "941,23 Mbps", "941,234,567"},
        {0, "0 Mbps", "0 Mbps", "0"},
        {1.0005, "0 Mbps", "0 Mbps", "1"},
        {2.0625, "0 Mbps", "0 Mbps", "2.062"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(en.rateText(c.value), c.enRate) << c.value;
        EXPECT_EQ(de.rateText(c.value), c.deRate) << c.value;
        EXPECT_EQ(en.number(c.value), c.enNumber) << c.value;
    }
    EXPECT_EQ(de.number(1234.5678), "1.234,568");
    EXPECT_EQ(en.groupedInteger(18'446'744'073'709'551'615ULL), "18,446,744,073,709,551,615");
    EXPECT_EQ(de.groupedInteger(1'000'000'000), "1.000.000.000");

    const auto time = sys_days{December / 7 / 2026} + 13h + 5min;
    EXPECT_EQ(en.abbreviatedDateTime(time), "Dec 7, 2026, 1:05\u202fPM");
    EXPECT_EQ(en.dateTime(time), "12/7/2026, 1:05\u202fPM");
    EXPECT_EQ(de.abbreviatedDateTime(time), "7. Dez. 2026, 14:05");
    EXPECT_EQ(de.dateTime(time), "7.12.2026, 14:05");
}

TEST(DisplayFormatTest, PlainTextsAreLocaleFree) {
    struct Case {
        double value;
        const char* text;
    };
    const Case cases[] = {
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {2.5, "2.5"},
        {0.1, "0.1"},
        {10, "10.0"},
        {940e6, "940000000.0"},
        {1.0 / 3, "0.3333333333333333"},
        {0.0001, "0.0001"},
        {0.00001, "1e-05"},
        {0.000012345, "1.2345e-05"},
        {9007199254740992.0, "9007199254740992.0"},
        {1e16, "1e+16"},
        {-1.5e300, "-1.5e+300"},
        {5e-324, "5e-324"},
        {std::numeric_limits<double>::infinity(), "inf"},
        {-std::numeric_limits<double>::infinity(), "-inf"},
        {std::nan(""), "nan"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DisplayFormat::plain(c.value), c.text) << c.text;
    }
    EXPECT_EQ(DisplayFormat::decimal(-42), "-42");
    EXPECT_EQ(DisplayFormat::decimal(std::uint64_t{18'446'744'073'709'551'615ULL}),
              "18446744073709551615");
}

}  // namespace
}  // namespace sorvanta
