#include "protocol/tcp_observation.h"

#include <gtest/gtest.h>

#include "udp_record_checks.h"

namespace sorvanta {
namespace {

using namespace testing_support;
constexpr std::uint64_t maximumCount = std::numeric_limits<std::uint64_t>::max();

const Uuid run = Uuid::random();
const Uuid session = Uuid::random();
const Uuid sender = Uuid::random();

struct Checked : TCPObservation {
    void validate() const { TCPObservation::validate(run, session, sender, 1); }
};

Checked usable() {
    Checked report;
    report.run = run;
    report.session = session;
    report.sender = sender;
    report.stage = 1;
    report.connection = Uuid::random();
    report.interface = "en7";
    report.interfaceIndex = 12;
    report.pathInterfaces = {"en7"};
    report.duration = 10.2;
    report.sent = 1250000000;
    return report;
}

TEST(TCPObservationTest, RoundTripsThroughJson) {
    TCPObservation report = usable();
    expectRoundTrip(report);
    EXPECT_EQ(encodeRecord(report).find("reason"), std::string::npos);
    report.sent = maximumCount;
    report.smoothedRTT = 0.00025;
    report.minimumRTT = 0.0001;
    report.rttVariance = 0.00003;
    report.reason = "Report unavailable";
    report.window = TCPSlice{2.0, 10.0, maximumCount, 7};
    report.slices = {{0.0, 1.0, 100, 0}, {1.0, 1.0, 200, 3}};
    expectRoundTrip(report);
    auto text = encodeRecord(report);
    text.replace(text.find(R"("sent":)"), 7, R"("sent":-)");
    EXPECT_THROW(decodeRecord<TCPObservation>(text), ProtocolFailure);
}

TEST(TCPObservationTest, IdentityMustMatch) {
    const auto report = usable();
    EXPECT_NO_THROW(report.validate());
    EXPECT_THROW(report.TCPObservation::validate(run, session, sender, 0), ProtocolFailure);
    EXPECT_THROW(report.TCPObservation::validate(run, session, run, 1), ProtocolFailure);
    EXPECT_THROW(report.TCPObservation::validate(session, session, sender, 1), ProtocolFailure);
    EXPECT_THROW(report.TCPObservation::validate(run, run, sender, 1), ProtocolFailure);
}

TEST(TCPObservationTest, ValidationBounds) {
    expectValidity<Checked>(
        usable(),
        {
            [](Checked& r) { r.duration = 30.0; },
            [](Checked& r) { r.reason = "Counters incomplete", r.sent = 0, r.duration = -0.0; },
            [](Checked& r) { r.reason = "", r.interface = "", r.interfaceIndex = 0; },
            [](Checked& r) { r.smoothedRTT = 0.0, r.rttVariance = -0.0; },
            [](Checked& r) { r.pathInterfaces.assign(8, std::string(128, 'e')); },
            [](Checked& r) { r.interface = std::string(128, 'e'); },
            [](Checked& r) { r.reason = std::string(256, 'r'); },
            [](Checked& r) {
                r.slices.assign(40, TCPSlice{29.5, 1.0, 1, 0});
            },
            [](Checked& r) {
                r.window = TCPSlice{0.0, 30.0, 1, 0};
            },
        },
        true);
    expectValidity<Checked>(
        usable(),
        {
            [](Checked& r) { r.sent = 0; },
            [](Checked& r) { r.interface = ""; },
            [](Checked& r) { r.interfaceIndex = 0; },
            [](Checked& r) { r.duration = 0; },
            [](Checked& r) { r.duration = 30.000001; },
            [](Checked& r) { r.reason = "", r.duration = -0.000001; },
            [](Checked& r) { r.reason = "", r.duration = nan; },
            [](Checked& r) { r.reason = "", r.duration = infinity; },
            [](Checked& r) { r.smoothedRTT = -0.001; },
            [](Checked& r) { r.minimumRTT = nan; },
            [](Checked& r) { r.rttVariance = infinity; },
            [](Checked& r) { r.pathInterfaces.assign(9, "en0"); },
            [](Checked& r) { r.pathInterfaces = {std::string(129, 'e')}; },
            [](Checked& r) { r.pathInterfaces = {"en0\n"}; },
            [](Checked& r) { r.interface = std::string(129, 'e'); },
            [](Checked& r) { r.interface = "en\xE2\x80\x8B"; },  // zero-width space
            [](Checked& r) { r.reason = std::string(257, 'r'); },
            [](Checked& r) { r.reason = "tab\there"; },
            [](Checked& r) { r.slices.assign(41, TCPSlice{}); },
            [](Checked& r) {
                r.slices = {{0, 1, 0, 0}, {30.5, 0.5, 0, 0}};
            },
            [](Checked& r) {
                r.slices = {{1.0, 30.1, 0, 0}};
            },
            [](Checked& r) {
                r.slices = {{nan, 1.0, 0, 0}};
            },
            [](Checked& r) {
                r.window = TCPSlice{-0.1, 1.0, 0, 0};
            },
            [](Checked& r) {
                r.window = TCPSlice{1.0, infinity, 0, 0};
            },
        },
        false);
}

TEST(TCPObservationTest, ResendPercent) {
    auto report = usable();
    report.sent = 4000000;
    report.retransmitted = 4096;
    EXPECT_DOUBLE_EQ(report.resendPercent().value_or(-1), 0.1024);
    for (double duration : {0.0, nan, infinity}) {
        auto badDuration = report;
        badDuration.duration = duration;
        EXPECT_FALSE(badDuration.resendPercent());
    }
    report.reason = "Counters incomplete";
    EXPECT_FALSE(report.resendPercent());
    report.reason = std::nullopt;
    report.sent = 0;
    EXPECT_FALSE(report.resendPercent());
}

TEST(TCPObservationTest, ResendConcern) {
    auto report = usable();
    report.sent = 4096000;
    report.retransmitted = 4096;
    EXPECT_TRUE(report.hasResendConcern());
    report.retransmitted = 4095;
    EXPECT_FALSE(report.hasResendConcern());

    // A consistent window is judged, even when the report has a reason.
    report.sent = 10000000;
    report.retransmitted = 5000;
    report.reason = "Counters incomplete";
    report.window = TCPSlice{2, 10, 4096000, 4096};
    EXPECT_TRUE(report.hasResendConcern());
    report.window->retransmitted = 4095;
    EXPECT_FALSE(report.hasResendConcern());
    report.window = TCPSlice{2, 10, 4096001, 4096};
    EXPECT_FALSE(report.hasResendConcern());

    // A window larger than the report, with more resends or empty falls back to the report.
    report.sent = 4096000;
    report.retransmitted = 4096;
    for (TCPSlice ignored :
         {TCPSlice{0, 10, 4096001, 0}, TCPSlice{0, 10, 100, 4097}, TCPSlice{0, 10, 0, 0}}) {
        report.window = ignored;
        report.reason = std::nullopt;
        EXPECT_TRUE(report.hasResendConcern());
        report.reason = "Counters incomplete";
        EXPECT_FALSE(report.hasResendConcern());
    }
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
}

}  // namespace
}  // namespace sorvanta
