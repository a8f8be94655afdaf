#include "assessment/report/report_rows.h"

#include <gtest/gtest.h>

#include <limits>

#include "assessment/run_fixture.h"
#include "assessment/text/peer_text.h"

namespace sorvanta {
namespace {

using namespace fixture;

TEST(ReportRowsTest, PeerTextLosesLineBreaksAndFormatCharacters) {
    EXPECT_EQ(cleanPeerText("a\nb\r\tc\u2028d\u2029e\u202Ef\u200Bg\u0085h"), "abcdefgh");
    EXPECT_EQ(cleanPeerText("caf\u00e9 \xFF\xC3"), "caf\u00e9 \uFFFD\uFFFD");
    EXPECT_EQ(cleanPeerText("Mini \u2192 Studio"), "Mini \u2192 Studio");
}

TEST(ReportRowsTest, LabeledCountsPairWhatBothListsHold) {
    const std::string_view labels[] = {"<0.5", "0.5\u20131"};
    const std::int64_t counts[] = {7};
    EXPECT_EQ(labeledCounts(labels, counts), std::vector<std::string>{"<0.5: 7"});
    EXPECT_TRUE(labeledCounts({}, {}).empty());
}

// Counts from the other Mac enter every product in double precision: a huge count gives a
// large or non-finite number, never a wrapped one.
TEST(ReportRowsTest, HugePeerCountsNeverWrap) {
    const DisplayFormat en("en_US", "UTC");
    const auto huge = std::numeric_limits<std::int64_t>::max();
    const auto hugeBytes = std::numeric_limits<std::uint64_t>::max();
    struct Case {
        const char* name;
        std::string text;
        const char* expected;
    };
    auto legText = [&](auto change) {
        UDPObservation o = leg(0, macA, 935e6);
        change(o);
        ReportWriter report(en);
        writeLegRows(report, o);
        return report.take().plainText();
    };
    auto directionText = [&](auto change) {
        DirectionMeasurement d = direction(macA, 940e6, 0, 1);
        change(d);
        ReportWriter report(en);
        writeDirectionRows(report, d);
        return report.take().plainText();
    };
    const Case cases[] = {
        {"offered rate", legText([&](auto& o) {
             o.send.accepted = huge;
             o.send.seconds = 1e-300;
         }),
         "; actual offered inf bps\n"},
        {"offered rate without time", legText([](auto& o) { o.send.seconds = 0; }),
         "; actual offered Unavailable\n"},
        {"resend share", directionText([&](auto& d) {
             d.transport->sent = hugeBytes;
             d.transport->retransmitted = hugeBytes;
         }),
         "TCP resend overhead  100.0% (byte ratio, not packet loss)\n"},
        {"interval rate", directionText([&](auto& d) { d.sample->intervals[0].bytes = hugeBytes; }),
         "Interval  0.0\u20261.0s; 18446744073709551615 bytes / 1.0s; 1.4757395258967641e+20 bps; "
         "valid\n"},
        {"empty queue histogram", legText([](auto& o) { o.queueDelay = UDPQueueDelay{}; }),
         "Queueing delay  0 datagrams; mean Unavailable; max 0 ms; by <0.5: 0,"},
        {"re-run wording", legText([](auto& o) { o.attempt = 1; }),
         "; leg 0 (re-run at a lower rate); physical sender"},
    };
    for (const auto& c : cases) {
        EXPECT_NE(c.text.find(c.expected), std::string::npos) << c.name << "\n" << c.text;
    }
}

}  // namespace
}  // namespace sorvanta
