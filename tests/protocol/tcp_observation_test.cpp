#include "protocol/tcp_observation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "protocol/protocol_failure.h"
#include "protocol/record_coding.h"

namespace sorvanta {
namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr std::uint64_t maximumCount = std::numeric_limits<std::uint64_t>::max();

class TCPObservationTest : public ::testing::Test {
  protected:
    TCPObservation usable() const {
        TCPObservation report;
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
        report.retransmitted = 0;
        return report;
    }

    bool passes(const TCPObservation& report) const {
        try {
            report.validate(run, session, sender, 1);
            return true;
        } catch (const ProtocolFailure& failure) {
            EXPECT_EQ(failure, ProtocolFailure::malformed);
            return false;
        }
    }

    Uuid run = Uuid::random();
    Uuid session = Uuid::random();
    Uuid sender = Uuid::random();
};

TEST_F(TCPObservationTest, RoundTripsThroughJsonWithAndWithoutOptionals) {
    auto bare = usable();
    EXPECT_EQ(decodeRecord<TCPObservation>(encodeRecord(bare)), bare);
    EXPECT_EQ(encodeRecord(bare).find("reason"), std::string::npos);

    auto full = usable();
    full.sent = maximumCount;
    full.smoothedRTT = 0.00025;
    full.minimumRTT = 0.0001;
    full.rttVariance = 0.00003;
    full.reason = "Report unavailable";
    full.window = TCPSlice{2.0, 10.0, maximumCount, 7};
    full.slices = {{0.0, 1.0, 100, 0}, {1.0, 1.0, 200, 3}};
    EXPECT_EQ(decodeRecord<TCPObservation>(encodeRecord(full)), full);
}

TEST_F(TCPObservationTest, DecodingRefusesMissingOrIllTypedFields) {
    auto text = encodeRecord(usable());
    auto withoutSlices = text;
    withoutSlices.replace(withoutSlices.find(R"(,"slices":[])"), 12, "");
    EXPECT_THROW(decodeRecord<TCPObservation>(withoutSlices), ProtocolFailure);
    auto negativeSent = text;
    negativeSent.replace(negativeSent.find("1250000000"), 10, "-1");
    EXPECT_THROW(decodeRecord<TCPObservation>(negativeSent), ProtocolFailure);
}

TEST_F(TCPObservationTest, UsableReportNeedsCountersInterfaceAndDuration) {
    EXPECT_TRUE(passes(usable()));

    auto report = usable();
    report.sent = 0;
    EXPECT_FALSE(passes(report));
    report.reason = "Transport report unavailable";
    EXPECT_TRUE(passes(report));

    auto incomplete = usable();
    incomplete.reason = "";
    incomplete.sent = 0;
    incomplete.duration = 0;
    incomplete.interface = "";
    incomplete.interfaceIndex = 0;
    EXPECT_TRUE(passes(incomplete));

    for (auto breach :
         {+[](TCPObservation& r) { r.duration = 0; }, +[](TCPObservation& r) { r.interface = ""; },
          +[](TCPObservation& r) { r.interfaceIndex = 0; }}) {
        auto broken = usable();
        breach(broken);
        EXPECT_FALSE(passes(broken));
    }
}

TEST_F(TCPObservationTest, IdentityMustMatchBeforeAnythingElse) {
    auto report = usable();
    EXPECT_THROW(report.validate(run, session, sender, 0), ProtocolFailure);
    EXPECT_THROW(report.validate(run, session, Uuid::random(), 1), ProtocolFailure);
    EXPECT_THROW(report.validate(Uuid::random(), session, sender, 1), ProtocolFailure);
    EXPECT_THROW(report.validate(run, Uuid::random(), sender, 1), ProtocolFailure);
}

TEST_F(TCPObservationTest, DurationBounds) {
    auto report = usable();
    for (double fine : {30.0, 0.000001}) {
        report.duration = fine;
        EXPECT_TRUE(passes(report)) << fine;
    }
    for (double bad : {30.000001, -0.000001, nan, infinity, -infinity}) {
        report.duration = bad;
        EXPECT_FALSE(passes(report)) << bad;
    }
    // Negative zero is a valid duration, though not for a usable report.
    report.reason = "Counters incomplete";
    report.duration = -0.0;
    EXPECT_TRUE(passes(report));
}

TEST_F(TCPObservationTest, RoundTripTimesMustBeFiniteAndNotNegative) {
    auto report = usable();
    report.minimumRTT = std::nullopt;
    report.smoothedRTT = 0.0;
    report.rttVariance = -0.0;
    EXPECT_TRUE(passes(report));
    for (double bad : {-0.001, nan, infinity}) {
        for (int field = 0; field < 3; ++field) {
            auto broken = usable();
            (field == 0   ? broken.smoothedRTT
             : field == 1 ? broken.minimumRTT
                          : broken.rttVariance) = bad;
            EXPECT_FALSE(passes(broken)) << field << " " << bad;
        }
    }
}

TEST_F(TCPObservationTest, TextLimits) {
    auto report = usable();
    report.pathInterfaces.assign(8, std::string(128, 'e'));
    report.interface = std::string(128, 'e');
    report.reason = std::string(256, 'r');
    EXPECT_TRUE(passes(report));

    auto nine = usable();
    nine.pathInterfaces.assign(9, "en0");
    EXPECT_FALSE(passes(nine));

    auto longPath = usable();
    longPath.pathInterfaces = {std::string(129, 'e')};
    EXPECT_FALSE(passes(longPath));

    auto lineFeed = usable();
    lineFeed.pathInterfaces = {"en0\n"};
    EXPECT_FALSE(passes(lineFeed));

    auto longName = usable();
    longName.interface = std::string(129, 'e');
    EXPECT_FALSE(passes(longName));

    auto unsafeName = usable();
    unsafeName.interface =
        "en\xE2\x80\x8B"
        "7";  // zero-width space
    EXPECT_FALSE(passes(unsafeName));

    auto longReason = usable();
    longReason.reason = std::string(257, 'r');
    EXPECT_FALSE(passes(longReason));

    auto unsafeReason = usable();
    unsafeReason.reason = "tab\there";
    EXPECT_FALSE(passes(unsafeReason));
}

TEST_F(TCPObservationTest, SliceAndWindowBounds) {
    auto report = usable();
    report.slices.assign(40, TCPSlice{29.5, 1.0, 1, 0});
    report.window = TCPSlice{0.0, 30.0, 1, 0};
    EXPECT_TRUE(passes(report));

    report.slices.push_back(TCPSlice{});
    EXPECT_FALSE(passes(report));

    for (TCPSlice bad :
         {TCPSlice{30.5, 0.5, 0, 0}, TCPSlice{-0.1, 1.0, 0, 0}, TCPSlice{1.0, 30.1, 0, 0},
          TCPSlice{nan, 1.0, 0, 0}, TCPSlice{1.0, infinity, 0, 0}}) {
        auto withSlice = usable();
        withSlice.slices = {TCPSlice{0, 1, 0, 0}, bad};
        EXPECT_FALSE(passes(withSlice)) << bad.start << " " << bad.duration;
        auto withWindow = usable();
        withWindow.window = bad;
        EXPECT_FALSE(passes(withWindow)) << bad.start << " " << bad.duration;
    }
}

TEST_F(TCPObservationTest, ResendPercent) {
    auto report = usable();
    report.sent = 4000000;
    report.retransmitted = 4096;
    ASSERT_TRUE(report.resendPercent());
    EXPECT_DOUBLE_EQ(*report.resendPercent(), 0.1024);

    auto withReason = report;
    withReason.reason = "Counters incomplete";
    EXPECT_FALSE(withReason.resendPercent());
    for (double duration : {0.0, -1.0, nan, infinity}) {
        auto badDuration = report;
        badDuration.duration = duration;
        EXPECT_FALSE(badDuration.resendPercent()) << duration;
    }
    auto nothingSent = report;
    nothingSent.sent = 0;
    EXPECT_FALSE(nothingSent.resendPercent());
}

TEST_F(TCPObservationTest, RatiosOfHugeCountsDoNotWrap) {
    auto report = usable();
    report.sent = maximumCount;
    report.retransmitted = maximumCount / 2;
    ASSERT_TRUE(report.resendPercent());
    EXPECT_DOUBLE_EQ(*report.resendPercent(), 50.0);
    EXPECT_TRUE(report.hasResendConcern());

    // 2^62 × 100 wraps in 64 bits to a small number; the share is 25 %.
    report.retransmitted = std::uint64_t{1} << 62;
    EXPECT_DOUBLE_EQ(*report.resendPercent(), 25.0);
    report.window = TCPSlice{0, 10, maximumCount, std::uint64_t{1} << 62};
    EXPECT_TRUE(report.hasResendConcern());

    // 0.01 % of a huge count is well above 4096 bytes yet below the share.
    report.window = std::nullopt;
    report.retransmitted = maximumCount / 10000;
    EXPECT_FALSE(report.hasResendConcern());
}

TEST_F(TCPObservationTest, ResendConcernJudgesTheWindowWhenConsistent) {
    auto report = usable();
    report.sent = 10000000;
    report.retransmitted = 5000;
    report.window = TCPSlice{2, 10, 4096000, 4096};
    EXPECT_TRUE(report.hasResendConcern());

    report.window->retransmitted = 4095;
    EXPECT_FALSE(report.hasResendConcern());

    report.window->retransmitted = 4096;
    report.window->sent = 4096001;
    EXPECT_FALSE(report.hasResendConcern());

    // The window is judged even when the report has a reason.
    report.window->sent = 4096000;
    report.reason = "Counters incomplete";
    EXPECT_TRUE(report.hasResendConcern());
}

TEST_F(TCPObservationTest, ResendConcernFallsBackToTheWholeReport) {
    auto report = usable();
    report.sent = 4096000;
    report.retransmitted = 4096;
    EXPECT_TRUE(report.hasResendConcern());
    report.retransmitted = 4095;
    EXPECT_FALSE(report.hasResendConcern());

    // A window larger than the report, or one with more resends, or an empty one is ignored.
    report.retransmitted = 4096;
    for (TCPSlice ignored :
         {TCPSlice{0, 10, 4096001, 0}, TCPSlice{0, 10, 100, 4097}, TCPSlice{0, 10, 0, 0}}) {
        report.window = ignored;
        report.reason = std::nullopt;
        EXPECT_TRUE(report.hasResendConcern());
        report.reason = "Counters incomplete";
        EXPECT_FALSE(report.hasResendConcern());
    }

    report = usable();
    report.sent = 4096000;
    report.retransmitted = 4096;
    for (double duration : {0.0, nan, infinity}) {
        report.duration = duration;
        EXPECT_FALSE(report.hasResendConcern()) << duration;
    }
}

}  // namespace
}  // namespace sorvanta
