#include "protocol/udp_send_summary.h"

#include <gtest/gtest.h>

#include "udp_record_checks.h"

namespace sorvanta {
namespace {

using namespace testing_support;
using S = UDPSendSummary;

// A clean three-second send at 75 % of 1 Gbit/s.
S clean(std::int64_t accepted = 234'375) {
    S summary;
    summary.attempted = accepted;
    summary.accepted = accepted;
    summary.seconds = 3.0;
    summary.maximumGap = 0.002;
    summary.maximumInFlight = 16;
    return summary;
}

TEST(UDPSendSummaryTest, RoundTripsThroughJson) {
    auto summary = clean();
    expectRoundTrip(summary);
    EXPECT_EQ(encodeRecord(summary).find("measurementStart"), std::string::npos);
    summary.measurementStart = 1.0;
    summary.measurementEnd = 4.0;
    summary.firstSubmission = 1.0;
    summary.lastSubmission = 3.999;
    summary.capped = true;
    summary.reason = "Send window shortened";
    expectRoundTrip(summary);
}

TEST(UDPSendSummaryTest, ValidationAcceptsTheBounds) {
    expectValidity<S>(clean(),
                      {
                          [](S& s) { s.attempted = s.accepted = 3'000'000; },
                          [](S& s) { s.attempted += 1, s.reason = ""; },
                          [](S& s) { s.accepted -= 10, s.failed = 10; },
                          [](S& s) { s.seconds = 8.0; },
                          [](S& s) { s.seconds = -0.0; },
                          [](S& s) { s.maximumGap = 1e6; },
                          [](S& s) { s.maximumInFlight = 128; },
                          [](S& s) { s.reason = std::string(256, 'r'); },
                          [](S& s) { s.measurementStart = 1.0, s.measurementEnd = 4.0; },
                          [](S& s) { s.firstSubmission = 0.0, s.lastSubmission = 10.0; },
                      },
                      true);
}

TEST(UDPSendSummaryTest, ValidationRefusesEachBreach) {
    expectValidity<S>(
        clean(),
        {
            [](S& s) { s.attempted = s.accepted = 3'000'001; },
            [](S& s) { s.attempted = -1, s.accepted = 0, s.reason = ""; },
            [](S& s) { s.accepted = -1, s.reason = ""; },
            [](S& s) { s.failed = -1, s.reason = ""; },
            [](S& s) { s.failed = 1, s.reason = ""; },  // more completions than submissions
            [](S& s) { s.attempted += 1; },             // one never completed, no reason
            [](S& s) { s.seconds = 8.000001; },
            [](S& s) { s.seconds = -0.000001; },
            [](S& s) { s.seconds = nan; },
            [](S& s) { s.pacingGaps = -1; },
            [](S& s) { s.discardedSlots = -1; },
            [](S& s) { s.maximumGap = -0.001; },
            [](S& s) { s.maximumGap = infinity; },
            [](S& s) { s.maximumInFlight = 129; },
            [](S& s) { s.measurementStart = 15.01, s.measurementEnd = 15.01, s.seconds = 0; },
            [](S& s) { s.firstSubmission = 1.0, s.lastSubmission = nan; },
            [](S& s) { s.reason = std::string(257, 'r'); },
            [](S& s) { s.reason = "two\nlines"; },
            [](S& s) { s.measurementStart = 1.0; },
            [](S& s) { s.lastSubmission = 1.0; },
            [](S& s) { s.measurementStart = 1.0, s.measurementEnd = 0.5, s.seconds = 0; },
            [](S& s) { s.measurementStart = 1.0, s.measurementEnd = 4.0, s.seconds = 3.001; },
            // submissions beyond the windowless bound, though within the field limit
            [](S& s) { s.firstSubmission = 0.0, s.lastSubmission = 10.5; },
            [](S& s) { s.firstSubmission = 2.0, s.lastSubmission = 1.5; },
            [](S& s) {
                s.measurementStart = 1.0, s.measurementEnd = 4.0;
                s.firstSubmission = 0.999, s.lastSubmission = 3.0;
            },
            [](S& s) {
                s.measurementStart = 1.0, s.measurementEnd = 4.0;
                s.firstSubmission = 1.0, s.lastSubmission = 4.001;
            },
            // the sum accepted + failed would overflow: each count is bounded first
            [](S& s) { s.failed = std::numeric_limits<std::int64_t>::max(), s.reason = ""; },
            [](S& s) { s.attempted = s.accepted = s.failed = std::numeric_limits<int64_t>::max(); },
        },
        false);
}

TEST(UDPSendSummaryTest, CoversIntendedRange) {
    EXPECT_TRUE(clean(234'375).coversIntendedRange(1e9, 3.0));
    EXPECT_TRUE(clean(218'750).coversIntendedRange(1e9, 3.0));  // exactly 70 %
    EXPECT_TRUE(clean(250'000).coversIntendedRange(1e9, 3.0));  // exactly 80 %
    EXPECT_FALSE(clean(218'749).coversIntendedRange(1e9, 3.0));
    EXPECT_FALSE(clean(250'001).coversIntendedRange(1e9, 3.0));
    EXPECT_FALSE(clean(78'125).coversIntendedRange(1e9, 3.0));
    for (auto spoil : std::vector<void (*)(S&)>{
             [](S& s) { s.capped = true; }, [](S& s) { s.accepted -= 1, s.failed = 1; },
             [](S& s) { s.seconds = 3.11; }, [](S& s) { s.seconds = 2.89; },
             [](S& s) { s.seconds = 0; }, [](S& s) { s.maximumGap = 0.011; },
             [](S& s) { s.reason = "Late"; },
             [](S& s) { s.attempted += 1; },  // fails validation: false, never an error
         }) {
        auto summary = clean();
        spoil(summary);
        EXPECT_FALSE(summary.coversIntendedRange(1e9, 3.0));
    }
    auto summary = clean();
    summary.maximumGap = 0.01;
    EXPECT_TRUE(summary.coversIntendedRange(1e9, 3.0));
    for (double bad : {0.0, -1e9, nan, infinity}) {
        EXPECT_FALSE(clean().coversIntendedRange(bad, 3.0));
    }
    for (double bad : {nan, infinity, -infinity}) {
        EXPECT_FALSE(clean().coversIntendedRange(1e9, bad));
    }
}

}  // namespace
}  // namespace sorvanta
