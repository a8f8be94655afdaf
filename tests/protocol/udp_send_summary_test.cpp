#include "protocol/udp_send_summary.h"

#include <gtest/gtest.h>

#include <limits>

#include "protocol/protocol_failure.h"
#include "protocol/record_coding.h"

namespace sorvanta {
namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr std::int64_t largest = std::numeric_limits<std::int64_t>::max();

// A clean three-second send at 75 % of 1 Gbit/s.
UDPSendSummary clean(std::int64_t accepted = 234'375) {
    UDPSendSummary summary;
    summary.attempted = accepted;
    summary.accepted = accepted;
    summary.seconds = 3.0;
    summary.maximumGap = 0.002;
    summary.maximumInFlight = 16;
    return summary;
}

bool passes(const UDPSendSummary& summary) {
    try {
        summary.validate();
        return true;
    } catch (const ProtocolFailure& failure) {
        EXPECT_EQ(failure, ProtocolFailure::malformed);
        return false;
    }
}

TEST(UDPSendSummaryTest, RoundTripsThroughJson) {
    auto summary = clean();
    EXPECT_EQ(decodeRecord<UDPSendSummary>(encodeRecord(summary)), summary);
    EXPECT_EQ(encodeRecord(summary).find("measurementStart"), std::string::npos);

    summary.measurementStart = 1.0;
    summary.measurementEnd = 4.0;
    summary.firstSubmission = 1.0;
    summary.lastSubmission = 3.999;
    summary.capped = true;
    summary.reason = "Send window shortened";
    EXPECT_EQ(decodeRecord<UDPSendSummary>(encodeRecord(summary)), summary);

    auto text = encodeRecord(clean());
    text.replace(text.find(R"("capped":false)"), 14, R"("capped":0)");
    EXPECT_THROW(decodeRecord<UDPSendSummary>(text), ProtocolFailure);
}

TEST(UDPSendSummaryTest, CountsMustAddUpUnlessThereIsAReason) {
    EXPECT_TRUE(passes(clean()));
    auto summary = clean();
    summary.attempted += 1;
    EXPECT_FALSE(passes(summary));
    summary.reason = "";
    EXPECT_TRUE(passes(summary));

    summary = clean(1000);
    summary.accepted = 990;
    summary.failed = 10;
    EXPECT_TRUE(passes(summary));
    summary.failed = 11;
    summary.reason = "Send errors";
    EXPECT_FALSE(passes(summary));  // more completions than submissions
}

TEST(UDPSendSummaryTest, CountBounds) {
    auto summary = clean(3'000'000);
    EXPECT_TRUE(passes(summary));
    summary = clean(3'000'001);
    EXPECT_FALSE(passes(summary));

    for (auto breach :
         {+[](UDPSendSummary& s) { s.attempted = -1; }, +[](UDPSendSummary& s) { s.accepted = -1; },
          +[](UDPSendSummary& s) { s.failed = -1; }, +[](UDPSendSummary& s) { s.pacingGaps = -1; },
          +[](UDPSendSummary& s) { s.discardedSlots = -1; },
          +[](UDPSendSummary& s) { s.maximumInFlight = 129; },
          +[](UDPSendSummary& s) { s.maximumInFlight = -1; }}) {
        auto broken = clean();
        broken.reason = "Limited";
        breach(broken);
        EXPECT_FALSE(passes(broken));
    }
    summary = clean();
    summary.maximumInFlight = 128;
    EXPECT_TRUE(passes(summary));
}

TEST(UDPSendSummaryTest, HugeCountsAreRefusedWithoutOverflow) {
    // The sum accepted + failed would overflow; each count is bounded first.
    auto summary = clean(3'000'000);
    summary.reason = "Limited";
    summary.failed = largest;
    EXPECT_FALSE(passes(summary));
    summary.accepted = largest;
    summary.attempted = largest;
    EXPECT_FALSE(passes(summary));
    EXPECT_FALSE(summary.coversIntendedRange(1e9, 3.0));
}

TEST(UDPSendSummaryTest, TimeBounds) {
    for (double seconds : {0.0, -0.0, 8.0}) {
        auto summary = clean();
        summary.seconds = seconds;
        EXPECT_TRUE(passes(summary)) << seconds;
    }
    for (double bad : {8.000001, -0.000001, nan, infinity}) {
        auto summary = clean();
        summary.seconds = bad;
        EXPECT_FALSE(passes(summary)) << bad;
    }
    auto summary = clean();
    summary.maximumGap = 1e6;  // no upper bound
    EXPECT_TRUE(passes(summary));
    for (double bad : {-0.001, nan, infinity}) {
        summary.maximumGap = bad;
        EXPECT_FALSE(passes(summary)) << bad;
    }
    for (double bad : {15.000001, -1.0, nan, infinity}) {
        auto withWindow = clean();
        withWindow.measurementStart = bad;
        withWindow.measurementEnd = 4.0;
        EXPECT_FALSE(passes(withWindow)) << bad;
        auto withSubmissions = clean();
        withSubmissions.firstSubmission = 1.0;
        withSubmissions.lastSubmission = bad;
        EXPECT_FALSE(passes(withSubmissions)) << bad;
    }
}

TEST(UDPSendSummaryTest, ReasonLimits) {
    auto summary = clean();
    summary.reason = std::string(256, 'r');
    EXPECT_TRUE(passes(summary));
    summary.reason = std::string(257, 'r');
    EXPECT_FALSE(passes(summary));
    summary.reason = "two\nlines";
    EXPECT_FALSE(passes(summary));
}

TEST(UDPSendSummaryTest, WindowAndSubmissions) {
    auto summary = clean();
    summary.measurementStart = 1.0;
    summary.measurementEnd = 4.0;
    EXPECT_TRUE(passes(summary));
    summary.seconds = 3.001;
    EXPECT_FALSE(passes(summary));

    summary = clean();
    summary.measurementStart = 1.0;
    EXPECT_FALSE(passes(summary));  // half a window
    summary.measurementEnd = 0.5;
    summary.seconds = 0;
    EXPECT_FALSE(passes(summary));  // ends before it starts

    summary = clean();
    summary.firstSubmission = 0.0;
    summary.lastSubmission = 10.0;
    EXPECT_TRUE(passes(summary));
    summary.lastSubmission = 10.5;  // within the field limit, beyond the windowless bound
    EXPECT_FALSE(passes(summary));
    summary.lastSubmission = std::nullopt;
    EXPECT_FALSE(passes(summary));

    summary = clean();
    summary.measurementStart = 1.0;
    summary.measurementEnd = 4.0;
    summary.firstSubmission = 1.0;
    summary.lastSubmission = 4.0;
    EXPECT_TRUE(passes(summary));
    summary.firstSubmission = 0.999;
    EXPECT_FALSE(passes(summary));
    summary.firstSubmission = 2.0;
    summary.lastSubmission = 1.5;
    EXPECT_FALSE(passes(summary));
    summary.lastSubmission = 4.001;
    EXPECT_FALSE(passes(summary));
}

TEST(UDPSendSummaryTest, CoversIntendedRange) {
    EXPECT_TRUE(clean(234'375).coversIntendedRange(1e9, 3.0));
    EXPECT_TRUE(clean(218'750).coversIntendedRange(1e9, 3.0));  // exactly 70 %
    EXPECT_TRUE(clean(250'000).coversIntendedRange(1e9, 3.0));  // exactly 80 %
    EXPECT_FALSE(clean(218'749).coversIntendedRange(1e9, 3.0));
    EXPECT_FALSE(clean(250'001).coversIntendedRange(1e9, 3.0));
    EXPECT_FALSE(clean(78'125).coversIntendedRange(1e9, 3.0));

    for (auto spoil :
         {+[](UDPSendSummary& s) { s.capped = true; },
          +[](UDPSendSummary& s) {
              s.accepted -= 1;
              s.failed = 1;
          },
          +[](UDPSendSummary& s) { s.seconds = 3.11; },
          +[](UDPSendSummary& s) { s.seconds = 2.89; },
          +[](UDPSendSummary& s) { s.maximumGap = 0.011; },
          +[](UDPSendSummary& s) { s.reason = "Late"; }, +[](UDPSendSummary& s) { s.seconds = 0; },
          // fails validation: one submission never completed
          +[](UDPSendSummary& s) { s.attempted += 1; }}) {
        auto summary = clean();
        spoil(summary);
        EXPECT_FALSE(summary.coversIntendedRange(1e9, 3.0));
    }
    auto summary = clean();
    summary.maximumGap = 0.01;
    EXPECT_TRUE(summary.coversIntendedRange(1e9, 3.0));
    for (double capacity : {0.0, -1e9, nan, infinity}) {
        EXPECT_FALSE(clean().coversIntendedRange(capacity, 3.0)) << capacity;
    }
    for (double planned : {nan, infinity, -infinity}) {
        EXPECT_FALSE(clean().coversIntendedRange(1e9, planned)) << planned;
    }
}

}  // namespace
}  // namespace sorvanta
