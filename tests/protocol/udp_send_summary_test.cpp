#include "protocol/udp_send_summary.h"

#include <gtest/gtest.h>

#include "record_checks.h"

namespace sorvanta {
namespace {

using namespace testing_support;
using S = UDPSendSummary;
constexpr std::int64_t largest = std::numeric_limits<std::int64_t>::max();

// A clean three-second send at 75 % of 1 Gbit/s.
S clean(std::int64_t accepted = 234'375) {
    S summary;
    summary.attempted = summary.accepted = accepted;
    summary.seconds = 3.0;
    summary.maximumGap = 0.002;
    summary.maximumInFlight = 16;
    return summary;
}

TEST(UDPSendSummaryTest, Validation) {
    const auto base = clean();
    expectBounds(base, &S::seconds, {8.0, -0.0}, {8.000001, -0.000001, nan, infinity});
    expectBounds(base, &S::maximumGap, {0.0, 1e6}, {-0.001, infinity, nan});
    expectBounds(base, &S::maximumInFlight, {0, 128}, {-1, 129});
    expectBounds(base, &S::pacingGaps, {0, largest}, {-1});
    expectBounds(base, &S::discardedSlots, {0, largest}, {-1});
    expectBounds(base, &S::reason, {std::nullopt, std::string(256, 'r')},
                 {std::string(257, 'r'), "two\nlines"});
    expectValidity<S>(
        base,
        {[](S& s) { s.attempted = s.accepted = 3'000'000; },
         [](S& s) { s.attempted += 1, s.reason = ""; },  // not every submission completed
         [](S& s) { s.measurementStart = 1.0, s.measurementEnd = 4.0; },
         [](S& s) { s.firstSubmission = 0.0, s.lastSubmission = 10.0; },
         [](S& s) {
             s.firstSubmission = s.lastSubmission = s.measurementStart = 1, s.measurementEnd = 4;
         }},
        true);
    expectValidity<S>(
        base,
        {[](S& s) { s.attempted = s.accepted = 3'000'001; },
         [](S& s) { s.accepted = -1, s.reason = ""; },
         [](S& s) { s.failed = 1, s.reason = ""; },  // more completions than submissions
         [](S& s) { s.attempted += 1; },             // one never completed, no reason
         // the sum accepted + failed would overflow: each count is bounded first
         [](S& s) { s.failed = largest, s.reason = ""; },
         [](S& s) { s.attempted = s.accepted = s.failed = largest; },
         [](S& s) { s.measurementStart = 15.01, s.measurementEnd = 15.01, s.seconds = 0; },
         [](S& s) { s.measurementStart = 1.0; }, [](S& s) { s.lastSubmission = 1.0; },
         [](S& s) { s.measurementStart = 1.0, s.measurementEnd = 0.5, s.seconds = 0; },
         [](S& s) { s.measurementStart = 1.0, s.measurementEnd = 4.0, s.seconds = 3.001; },
         // beyond the windowless bound, though within the field limit
         [](S& s) { s.firstSubmission = 0.0, s.lastSubmission = 10.5; },
         [](S& s) { s.firstSubmission = 2.0, s.lastSubmission = 1.5; },
         [](S& s) {
             s.measurementStart = 1.0, s.measurementEnd = 4.0;
             s.firstSubmission = 0.999, s.lastSubmission = 3.0;
         }},
        false);
}

TEST(UDPSendSummaryTest, CoversIntendedRange) {
    // 75 %, exactly 70 % and exactly 80 % of the capacity are covered; just beyond is not.
    for (std::int64_t accepted : {234'375, 218'750, 250'000}) {
        EXPECT_TRUE(clean(accepted).coversIntendedRange(1e9, 3.0)) << accepted;
    }
    for (std::int64_t accepted : {218'749, 250'001, 78'125}) {
        EXPECT_FALSE(clean(accepted).coversIntendedRange(1e9, 3.0)) << accepted;
    }
    auto edge = clean();
    edge.maximumGap = 0.01;
    EXPECT_TRUE(edge.coversIntendedRange(1e9, 3.0));
    for (auto spoil : std::vector<void (*)(S&)>{
             [](S& s) { s.capped = true; }, [](S& s) { s.accepted -= 1, s.failed = 1; },
             [](S& s) { s.seconds = 3.11; }, [](S& s) { s.seconds = 2.89; },
             [](S& s) { s.seconds = 0; }, [](S& s) { s.maximumGap = 0.011; },
             [](S& s) { s.reason = "Late"; },
             [](S& s) { s.attempted += 1; }  // fails validation: false, never an error
         }) {
        auto summary = clean();
        spoil(summary);
        EXPECT_FALSE(summary.coversIntendedRange(1e9, 3.0));
    }
    for (double bad : {0.0, -1e9, nan, infinity}) {
        EXPECT_FALSE(clean().coversIntendedRange(bad, 3.0));
        EXPECT_FALSE(clean().coversIntendedRange(1e9, bad == 0.0 ? -infinity : bad));
    }
}

TEST(UDPSendSummaryTest, RoundTrip) {
    auto summary = clean();
    summary.measurementStart = 1.0, summary.measurementEnd = 4.0;
    summary.firstSubmission = 1.5, summary.lastSubmission = 3.5;
    summary.failed = 1, summary.pacingGaps = 2, summary.discardedSlots = 3;
    summary.capped = true;
    summary.reason = "Send window shortened";
    expectRoundTrip(summary);
}

}  // namespace
}  // namespace sorvanta
