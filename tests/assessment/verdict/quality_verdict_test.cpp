#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "assessment/run_fixture.h"
#include "assessment/verdict/result_assessment.h"

namespace sorvanta {
namespace {

using namespace fixture;
using Outcome = QualityAssessment::Outcome;
using TCPIssue = QualityAssessment::TCPIssue;

constexpr const char* healthyText =
    "Speed stayed steady; no resends or missed probe packets were observed.";
constexpr const char* limitedSuffix = " Some supporting evidence is limited; see Details.";

// Moves 30 % of the bytes of the given one-second intervals to the others, so that the
// average rate stays and those intervals dip.
void dip(DirectionMeasurement& d, std::vector<std::size_t> positions) {
    auto& intervals = d.sample->intervals;
    std::uint64_t moved = 0;
    for (auto i : positions) {
        const auto share = intervals[i].bytes * 3 / 10;
        intervals[i].bytes -= share;
        moved += share;
    }
    const auto rest = intervals.size() - positions.size();
    for (std::size_t i = 0; i < intervals.size(); ++i) {
        if (std::find(positions.begin(), positions.end(), i) == positions.end()) {
            intervals[i].bytes += moved / rest;
        }
    }
    d.sample->bytes -= moved % rest;
}

void dipTwice(DirectionMeasurement& d) {
    dip(d, {3, 4});
}

TEST(QualityVerdictTest, FirstFindingDecides) {
    struct Case {
        const char* name;
        std::function<void(SpeedSnapshot&)> change;
        Outcome outcome;
        std::string title;
        std::string explanation;
        std::optional<TCPIssue> issue = std::nullopt;
        // Applied after the speed verdict was computed.
        std::function<void(SpeedSnapshot&)> later = nullptr;
    };
    const char* attention = "Connection needs attention";
    const char* partly = "Quality partly assessed";
    const Case cases[] = {
        {"healthy run", [](auto&) {}, Outcome::healthy,
         "Connection looks healthy in this quick test", healthyText},
        {"still in the quality phase", [](auto& s) { s.phase = SpeedSnapshot::Phase::quality; },
         Outcome::incomplete, "No complete Quick Test assessment",
         "All three Quick Test stages must finish before a performance class can pass."},
        {"finished but busy, after a passed speed verdict", [](auto&) {}, Outcome::incomplete,
         "Passed this quick test",
         "Also passed with both Macs sending. No connection interruptions were observed during "
         "this quick test.",
         std::nullopt, [](auto& s) { s.busy = true; }},
        {"no run identity, even after a speed warning", [](auto& s) { setRate(s, 2, 0, 850e6); },
         Outcome::limited, partly, "The recorded run identity is unavailable.", std::nullopt,
         [](auto& s) { s.run.reset(); }},
        {"speed warning comes first, even before a dip",
         [](auto& s) {
             setRate(s, 2, 0, 850e6);
             dipTwice(s.stages[1].directions[0]);
         },
         Outcome::tcpConcern, attention,
         "Speed dropped with both directions active. Simultaneous: 850 Mbps / 925 Mbps. No "
         "resends detected \u2014 more likely a Mac\u2019s limit than the cable. Check the "
         "adapters and ports, or compare with a known-good cable.",
         TCPIssue::speed},
        {"one dip is steady", [](auto& s) { dip(s.stages[0].directions[0], {5}); },
         Outcome::healthy, "Connection looks healthy in this quick test", healthyText},
        {"two consecutive dips", [](auto& s) { dipTwice(s.stages[0].directions[0]); },
         Outcome::tcpConcern, attention, "Speed dipped or stalled during a measured interval.",
         TCPIssue::dips},
        {"resends and a receive error",
         [](auto& s) {
             s.stages[1].directions[0].transport->window->retransmitted = 5'000'000;
             s.stages[1].directions[0].transport->retransmitted = 5'000'000;
             s.quality.ethernet[1].after->rxErrors = 13;
         },
         Outcome::tcpConcern, attention,
         "Some TCP data needed resending. Receive errors increased; see Details.",
         TCPIssue::resends},
        {"a missing sender report limits a concern",
         [](auto& s) {
             dipTwice(s.stages[0].directions[0]);
             s.stages[2].directions[1].transport.reset();
         },
         Outcome::tcpConcern, attention,
         std::string("Speed dipped or stalled during a measured interval.") + limitedSuffix,
         TCPIssue::dips},
        {"input drops on both Macs, once",
         [](auto& s) {
             s.quality.ethernet[0].after->inputDrops = 4;
             s.quality.ethernet[1].after->inputDrops = 9;
         },
         Outcome::interfaceConcern, attention,
         "Input drops increased during this test; this does not establish a cable fault."},
        {"issue texts sorted",
         [](auto& s) {
             s.quality.ethernet[0].after->inputDrops = 4;
             s.quality.ethernet[1].links[2].active = false;
             s.quality.ethernet[1].links[2].rate.reset();
             s.quality.ethernet[1].links[2].fullDuplex.reset();
         },
         Outcome::interfaceConcern, attention,
         "Driver-reported carrier or active link rate changed; Input drops increased during this "
         "test; this does not establish a cable fault."},
        {"repeated load connection",
         [](auto& s) {
             s.stages[1].directions[0].transport->connection =
                 s.stages[0].directions[0].transport->connection;
         },
         Outcome::limited, partly,
         "TCP load connection report identities are missing or repeated."},
        {"forward-only evidence", [](auto&) {}, Outcome::limited, partly,
         "TCP directional evidence is incomplete.", std::nullopt,
         [](auto& s) { s.stages.resize(1); }},
        {"unexplained loss",
         [](auto& s) {
             s.quality.udp[1].unique -= 1000;
             s.quality.udp[1].unexplainedHoles = 1000;
         },
         Outcome::udpConcern, "Quality needs checking",
         "TCP speed was good; packets went missing in the extra quality check that the receiving "
         "Mac\u2019s own buffer doesn\u2019t explain. The cause was not established."},
        {"timing, every leg conclusive", [](auto& s) { s.quality.udp[1].highJitterSeconds = 0.6; },
         Outcome::udpConcern, "Quality needs checking",
         "TCP speed was good; the extra quality check found arrival timing variation."},
        {"timing, one leg not conclusive",
         [](auto& s) {
             s.quality.udp[1].highJitterSeconds = 0.6;
             s.quality.udp[0].jitter.reset();
             s.quality.udp[0].duplicates = 1;
         },
         Outcome::udpConcern, "Quality needs checking",
         std::string("TCP speed was good; the extra quality check found arrival timing "
                     "variation.") +
             limitedSuffix},
        {"buffer loss with a clean re-run",
         [](auto& s) {
             receiverDropped(s, 1000);
             rerun(s);
         },
         Outcome::healthy, "Connection looks healthy in this quick test",
         "Speed stayed steady. Packets most likely dropped by the slower Mac\u2019s own buffer "
         "don\u2019t count against the cable; anything else stayed below this test\u2019s "
         "thresholds; see Details. The packet check re-ran at a lower rate in one direction "
         "because a Mac likely couldn\u2019t keep up; the cable was judged at that rate."},
        {"re-run off its plan is ignored",
         [](auto& s) {
             receiverDropped(s, 1000);
             rerun(s, 1);
         },
         Outcome::limited, partly,
         "The receiving Mac likely couldn\u2019t keep up with the extra quality check; it says "
         "nothing about the cable."},
        {"one leg kept", [](auto& s) { s.quality.udp[1].session = macA; }, Outcome::limited, partly,
         "The extra quality check did not cover its intended load/timing range."},
        {"small resend",
         [](auto& s) {
             s.stages[0].directions[0].transport->window->retransmitted = 100;
             s.stages[0].directions[0].transport->retransmitted = 100;
         },
         Outcome::healthy, "Connection looks healthy in this quick test",
         "Speed stayed steady. Small resend or missed-packet observations stayed below this "
         "test\u2019s concern thresholds; see Details."},
        {"quality evidence incomplete", [](auto& s) { s.quality.complete = false; },
         Outcome::limited, partly,
         "The extra quality check did not cover its intended load/timing range."},
    };
    const DisplayFormat en("en_US", "UTC");
    for (const auto& c : cases) {
        SpeedSnapshot s = completeRun();
        c.change(s);
        const auto speed = ResultAssessment::speedVerdict(s, run, std::nullopt, en);
        if (c.later) {
            c.later(s);
        }
        const auto quality = QualityAssessment::assess(s, speed);
        EXPECT_EQ(quality.outcome, c.outcome) << c.name;
        EXPECT_EQ(quality.title, c.title) << c.name;
        EXPECT_EQ(quality.explanation, c.explanation) << c.name;
        EXPECT_EQ(quality.tcpIssue, c.issue) << c.name;
    }
}

TEST(QualityVerdictTest, LatestAttemptPerLegInLegOrder) {
    auto attempt = [](std::int64_t legIndex, std::int64_t number, double capacity) {
        UDPObservation o = leg(legIndex, macA, capacity);
        o.attempt = number;
        return o;
    };
    const std::vector<UDPObservation> legs{attempt(1, 0, 1), attempt(0, 1, 2), attempt(0, 0, 3),
                                           attempt(1, 0, 4), attempt(0, 1, 5)};
    const auto latest = QualityAssessment::latestAttempts(legs);
    ASSERT_EQ(latest.size(), 2u);
    EXPECT_EQ(latest[0].capacity, 2);
    EXPECT_EQ(latest[1].capacity, 1);
    EXPECT_TRUE(QualityAssessment::latestAttempts({}).empty());
}

}  // namespace
}  // namespace sorvanta
