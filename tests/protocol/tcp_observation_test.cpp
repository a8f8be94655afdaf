#include "protocol/tcp_observation.h"

#include <gtest/gtest.h>

#include "record_checks.h"

namespace sorvanta {
namespace {

using namespace testing_support;
using R = TCPObservation;
constexpr std::uint64_t maximumCount = std::numeric_limits<std::uint64_t>::max();

const Uuid run = Uuid::random();
const Uuid session = Uuid::random();
const Uuid sender = Uuid::random();

void check(const R& report) {
    report.validate(run, session, sender, 1);
}

R usable() {
    R report;
    report.run = run;
    report.session = session;
    report.sender = sender;
    report.stage = 1;
    report.connection = Uuid::random();
    report.interface = "en7";
    report.interfaceIndex = 12;
    report.pathInterfaces = {"en7"};
    report.duration = 10.2;
    report.sent = 1'250'000'000;
    return report;
}

TEST(TCPObservationTest, IdentityIsCheckedBeforeAnySizeRule) {
    auto report = usable();
    report.pathInterfaces.assign(9, "en0");
    EXPECT_FALSE(passesCheck([&] { report.validate(run, session, sender, 0); }));
    EXPECT_FALSE(passesCheck([&] { report.validate(run, session, run, 1); }));
    EXPECT_FALSE(passesCheck([&] { report.validate(session, session, sender, 1); }));
    EXPECT_FALSE(passesCheck([&] { report.validate(run, run, sender, 1); }));
}

TEST(TCPObservationTest, ValidationBounds) {
    const auto base = usable();
    auto withReason = usable();
    withReason.reason = "";
    expectBounds(base, &R::duration, {30.0, 0.001}, {0.0, 30.000001, nan}, check);
    expectBounds(withReason, &R::duration, {-0.0}, {-0.000001, nan, infinity}, check);
    expectBounds(base, &R::smoothedRTT, {std::nullopt, 0.0, -0.0}, {-0.001, nan, infinity}, check);
    expectBounds(base, &R::minimumRTT, {std::nullopt}, {nan}, check);
    expectBounds(base, &R::rttVariance, {std::nullopt}, {infinity}, check);
    expectBounds(base, &R::interface, {std::string(128, 'e')},
                 {"", std::string(129, 'e'), "en\xE2\x80\x8B"}, check);  // zero-width space
    expectBounds(base, &R::reason, {std::string(256, 'r')}, {std::string(257, 'r'), "a\tb"}, check);
    expectBounds(base, &R::pathInterfaces, {std::vector<std::string>(8, std::string(128, 'e'))},
                 {std::vector<std::string>(9, "en0"), {std::string(129, 'e')}, {"en0\n"}}, check);
    // Each bound of a slice is checked alone.
    expectBounds(base, &R::window, {TCPSlice{0.0, 30.0, 1, 0}, TCPSlice{29.5, 1.0, 1, 0}},
                 {TCPSlice{-0.1, 1.0, 0, 0}, TCPSlice{1.0, infinity, 0, 0},
                  TCPSlice{30.5, 0.5, 0, 0}, TCPSlice{nan, 1.0, 0, 0}},
                 check);
    expectBounds(base, &R::slices, {std::vector<TCPSlice>(40, TCPSlice{29.5, 1.0, 1, 0})},
                 {std::vector<TCPSlice>(41), {TCPSlice{}, TCPSlice{1.0, 30.1, 0, 0}}}, check);
    // A report with a reason may carry zero counters and no interface; a usable one may not.
    expectBounds(withReason, &R::sent, {0}, {}, check);
    expectBounds(base, &R::sent, {1}, {0}, check);
    expectBounds(withReason, &R::interfaceIndex, {0}, {}, check);
    expectBounds(base, &R::interfaceIndex, {1}, {0}, check);
}

TEST(TCPObservationTest, ResendPercent) {
    auto report = usable();
    report.sent = 4'000'000;
    report.retransmitted = 4096;
    EXPECT_DOUBLE_EQ(report.resendPercent().value_or(-1), 0.1024);
    for (auto spoil : std::vector<void (*)(R&)>{
             [](R& r) { r.duration = 0; }, [](R& r) { r.duration = nan; },
             [](R& r) { r.duration = infinity; }, [](R& r) { r.reason = "Incomplete"; },
             [](R& r) { r.sent = 0; }}) {
        auto spoiled = report;
        spoil(spoiled);
        EXPECT_FALSE(spoiled.resendPercent());
    }
}

TEST(TCPObservationTest, ResendConcern) {
    auto report = usable();
    report.sent = 4'096'000;
    report.retransmitted = 4096;
    EXPECT_TRUE(report.hasResendConcern());
    report.retransmitted = 4095;
    EXPECT_FALSE(report.hasResendConcern());

    // A consistent window is judged, even when the report has a reason.
    report.sent = 10'000'000;
    report.retransmitted = 5000;
    report.reason = "Incomplete";
    report.window = TCPSlice{2, 10, 4'096'000, 4096};
    EXPECT_TRUE(report.hasResendConcern());
    report.window->retransmitted = 4095;
    EXPECT_FALSE(report.hasResendConcern());
    report.window = TCPSlice{2, 10, 4'096'001, 4096};
    EXPECT_FALSE(report.hasResendConcern());

    // A window larger than the report, with more resends, or empty falls back to the report.
    report.sent = 4'096'000;
    report.retransmitted = 4096;
    for (TCPSlice ignored :
         {TCPSlice{0, 10, 4'096'001, 0}, TCPSlice{0, 10, 100, 4097}, TCPSlice{0, 10, 0, 0}}) {
        report.window = ignored;
        report.reason = std::nullopt;
        EXPECT_TRUE(report.hasResendConcern());
        report.reason = "Incomplete";
        EXPECT_FALSE(report.hasResendConcern());
    }
    // A window that is the whole report is consistent, and judged despite the reason.
    report.window = TCPSlice{0, 10, report.sent, report.retransmitted};
    EXPECT_TRUE(report.hasResendConcern());
}

TEST(TCPObservationTest, RatiosOfHugeCountsDoNotWrap) {
    auto report = usable();
    report.sent = maximumCount;
    report.retransmitted = std::uint64_t{1} << 62;  // × 100 wraps in 64 bits
    EXPECT_DOUBLE_EQ(report.resendPercent().value_or(-1), 25.0);
    EXPECT_TRUE(report.hasResendConcern());
    report.window = TCPSlice{0, 10, maximumCount, std::uint64_t{1} << 62};
    EXPECT_TRUE(report.hasResendConcern());
    report.window = std::nullopt;
    report.retransmitted = maximumCount / 10000;  // far above 4096 bytes, below 0.1 %
    EXPECT_FALSE(report.hasResendConcern());
    report.smoothedRTT = 0.00025, report.minimumRTT = 0.0001, report.rttVariance = 0.00003;
    report.window = TCPSlice{2.0, 10.0, maximumCount, 7};
    expectRoundTrip(report);
}

}  // namespace
}  // namespace sorvanta
