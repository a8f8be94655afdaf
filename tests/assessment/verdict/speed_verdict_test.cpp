#include <gtest/gtest.h>

#include <functional>

#include "assessment/run_fixture.h"
#include "assessment/verdict/result_assessment.h"

namespace sorvanta {
namespace {

using namespace fixture;
using Outcome = ResultAssessment::Outcome;
using Change = std::function<void(SpeedSnapshot&)>;

void setRates(SpeedSnapshot& s, double r0, double r1, double d0, double d1) {
    setRate(s, 0, 0, r0);
    setRate(s, 1, 0, r1);
    setRate(s, 2, 0, d0);
    setRate(s, 2, 1, d1);
}

void noLink(SpeedSnapshot& s) {
    for (auto& e : s.quality.ethernet) {
        e.links.clear();
    }
}

void linkAt(SpeedSnapshot& s, std::uint64_t rate) {
    for (auto& e : s.quality.ethernet) {
        for (auto& l : e.links) {
            l.rate = rate;
        }
    }
}

constexpr const char* noAdvice =
    "Check the adapters and ports, or compare with a known-good cable.";

TEST(SpeedVerdictTest, FirstRuleReachedDecides) {
    struct Case {
        const char* name;
        Change change;
        Outcome outcome;
        const char* title;
        std::optional<std::string> performance;
        std::string explanation;  // empty: not checked
        std::optional<ResultAssessment::SpeedFinding> finding = std::nullopt;
        std::optional<Uuid> asked = run;
    };
    const char* notComplete = "No complete Quick Test assessment";
    const char* inspect = "Results need inspection";
    const Case cases[] = {
        {"healthy gigabit run", [](auto&) {}, Outcome::passed, "Passed this quick test",
         "Gigabit-class performance",
         "Also passed with both Macs sending. No connection interruptions were observed during "
         "this quick test."},
        {"any run accepted when none is asked", [](auto&) {}, Outcome::passed,
         "Passed this quick test", "Gigabit-class performance", "", std::nullopt, std::nullopt},
        {"cancelled on the other Mac",
         [](auto& s) {
             s.phase = SpeedSnapshot::Phase::cancelled;
             s.endedRemotely = true;
         },
         Outcome::incomplete, "Test cancelled \u2014 no complete assessment", std::nullopt,
         "It was stopped on the other Mac. Run it again when you\u2019re ready."},
        {"tester failure on the other Mac",
         [](auto& s) {
             s.phase = SpeedSnapshot::Phase::failed;
             s.end = RunEndCause::tester;
             s.endedRemotely = true;
         },
         Outcome::incomplete, "Test interrupted \u2014 no complete assessment", std::nullopt,
         "Sorvanta couldn\u2019t finish the test on the other Mac. The reason is below; on its "
         "own it says nothing about the cable."},
        {"complete but busy", [](auto& s) { s.busy = true; }, Outcome::incomplete, notComplete,
         std::nullopt,
         "All three Quick Test stages must finish before a performance class can pass."},
        {"another run asked", [](auto&) {}, Outcome::incomplete, notComplete, std::nullopt, "",
         std::nullopt, macA},
        {"stages stored 2, 0, 1",
         [](auto& s) { std::rotate(s.stages.begin(), s.stages.begin() + 2, s.stages.end()); },
         Outcome::passed, "Passed this quick test", "Gigabit-class performance", ""},
        {"indices 0, 1, 1", [](auto& s) { s.stages[2].index = 1; }, Outcome::inconclusive, inspect,
         std::nullopt, "The recorded stages are missing or inconsistent. See Details."},
        {"forward and reverse from one Mac",
         [](auto& s) { s.stages[1].directions[0].sender = macA; }, Outcome::inconclusive, inspect,
         std::nullopt, "The recorded direction identities do not match. See Details."},
        {"duplex from one Mac", [](auto& s) { s.stages[2].directions[1].sender = macA; },
         Outcome::inconclusive, inspect, std::nullopt,
         "The recorded direction identities do not match. See Details."},
        {"9.99-second sample", [](auto& s) { s.stages[1].directions[0].sample->seconds = 9.99; },
         Outcome::inconclusive, inspect, std::nullopt,
         "A receiver measurement is partial or invalid. See Details."},
        {"not measuring", [](auto& s) { s.stages[0].directions[0].sample->measuring = false; },
         Outcome::inconclusive, inspect, std::nullopt,
         "A receiver measurement is partial or invalid. See Details."},
        {"class bounds are inclusive", [](auto& s) { setRates(s, 900e6, 1050e6, 950e6, 950e6); },
         Outcome::passed, "Passed this quick test", "Gigabit-class performance", ""},
        {"just below the gigabit band",
         [](auto& s) {
             noLink(s);
             setRates(s, 899'999'992, 940e6, 899'999'992, 940e6);
         },
         Outcome::measured, "Quick Test completed", "900 Mbps / 940 Mbps measured", ""},
        {"no class fits",
         [](auto& s) {
             noLink(s);
             setRates(s, 950e6, 850e6, 950e6, 850e6);
         },
         Outcome::measured, "Quick Test completed", "950 Mbps / 850 Mbps measured",
         "No nominal performance class fits these measurements. No connection interruptions "
         "were observed during this quick test."},
        {"link exceeded before any class check", [](auto& s) { setRate(s, 2, 0, 1.06e9); },
         Outcome::inconclusive, "Results exceed the reported link speed",
         "940 Mbps / 930 Mbps measured",
         "Negotiated link during this test: reported 1 Gbps. Check Details before interpreting "
         "this result."},
        {"class exceeded without a link",
         [](auto& s) {
             noLink(s);
             setRate(s, 2, 1, 1.06e9);
         },
         Outcome::inconclusive, inspect, "940 Mbps / 930 Mbps measured",
         "Simultaneous rates exceed the inferred class. No class-level pass was awarded."},
        {"link below both adapters",
         [](auto& s) {
             for (auto& e : s.quality.ethernet) {
                 e.adapter->assured = 2'500'000'000;
             }
         },
         Outcome::warning, "Link slower than both adapters", "Gigabit-class performance",
         "The link came up at 1 Gbps, but both adapters support 2.5 Gbps. A damaged cable, a "
         "slower port or device in between, or a manual speed setting can hold a link back.",
         ResultAssessment::LinkBelowAdapters{1e9, 2.5e9}},
        {"uneven speeds",
         [](auto& s) {
             noLink(s);
             setRates(s, 500e6, 700e6, 100e6, 100e6);
         },
         Outcome::warning, "Uneven speeds", "500 Mbps / 700 Mbps measured", noAdvice,
         ResultAssessment::UnevenSpeeds{0}},
        {"duplex drop with clean evidence", [](auto& s) { setRate(s, 2, 0, 850e6); },
         Outcome::warning, "Speed dropped with both directions active", "Gigabit-class performance",
         std::string("Simultaneous: 850 Mbps / 925 Mbps. No resends detected \u2014 more likely "
                     "a Mac\u2019s limit than the cable. ") +
             noAdvice,
         ResultAssessment::DuplexDrop{{ResultAssessment::DuplexCause::Kind::cleanCeiling, {}}}},
        {"duplex drop with a resend",
         [](auto& s) {
             setRate(s, 2, 0, 850e6);
             s.stages[2].directions[1].transport->window->retransmitted = 1;
         },
         Outcome::warning, "Speed dropped with both directions active", "Gigabit-class performance",
         std::string("Simultaneous: 850 Mbps / 925 Mbps. ") + noAdvice,
         ResultAssessment::DuplexDrop{{ResultAssessment::DuplexCause::Kind::unexplained, {}}}},
        {"both Macs in Low Power Mode",
         [](auto& s) {
             setRate(s, 2, 0, 850e6);
             for (auto& e : s.quality.ethernet) {
                 e.lowPowerMode = true;
             }
         },
         Outcome::warning, "Speed dropped with both directions active", "Gigabit-class performance",
         "Simultaneous: 850 Mbps / 925 Mbps. Both Macs were in Low Power Mode during this test, "
         "which can lower speed. Plug in or turn it off and test again.",
         ResultAssessment::DuplexDrop{{ResultAssessment::DuplexCause::Kind::lowPower, {macA}}}},
        {"one Mac in Low Power Mode counted once",
         [](auto& s) {
             setRate(s, 2, 0, 850e6);
             s.quality.ethernet[1] = s.quality.ethernet[0];
             s.quality.ethernet[0].lowPowerMode = s.quality.ethernet[1].lowPowerMode = true;
         },
         Outcome::warning, "Speed dropped with both directions active", "Gigabit-class performance",
         "Simultaneous: 850 Mbps / 925 Mbps. A Mac was in Low Power Mode during this test, which "
         "can lower speed. Plug in or turn it off and test again.",
         ResultAssessment::DuplexDrop{{ResultAssessment::DuplexCause::Kind::lowPower, {macA}}}},
        {"USB 2 adapter on a 2.5 Gbps link",
         [](auto& s) {
             linkAt(s, 2'500'000'000);
             s.quality.ethernet[1].adapter->connection = 480'000'000;
             setRates(s, 300e6, 298e6, 290e6, 280e6);
         },
         Outcome::warning, "Slower than the reported link speed", "300 Mbps / 298 Mbps measured",
         std::string("Negotiated link during this test: 2.5 Gbps. Transfers stayed below 90% of "
                     "it. An adapter is on a USB 2 connection, which limits it to about 300 "
                     "Mbps. ") +
             noAdvice,
         ResultAssessment::SlowerThanLink{2.5e9, {0, 1, 2}, macB}},
        {"both on USB 2: the first record's Mac",
         [](auto& s) {
             linkAt(s, 2'500'000'000);
             s.quality.ethernet[0].adapter->connection = 480'000'000;
             s.quality.ethernet[1].adapter->connection = 480'000'000;
             setRates(s, 300e6, 298e6, 290e6, 280e6);
         },
         Outcome::warning, "Slower than the reported link speed", "300 Mbps / 298 Mbps measured",
         "", ResultAssessment::SlowerThanLink{2.5e9, {0, 1, 2}, macA}},
        {"slower than the link outside any class",
         [](auto& s) {
             linkAt(s, 2'500'000'000);
             setRates(s, 2.2e9, 2.2e9, 2.2e9, 2.2e9);
         },
         Outcome::warning, "Slower than the reported link speed", "2.2 Gbps / 2.2 Gbps measured",
         std::string("Negotiated link during this test: 2.5 Gbps. Transfers stayed below 90% of "
                     "it. ") +
             noAdvice,
         ResultAssessment::SlowerThanLink{2.5e9, {0, 1, 2}, std::nullopt}},
    };
    const DisplayFormat en("en_US", "UTC");
    for (const auto& c : cases) {
        SpeedSnapshot s = completeRun();
        c.change(s);
        const auto verdict = ResultAssessment::speedVerdict(s, c.asked, std::nullopt, en);
        EXPECT_EQ(verdict.outcome, c.outcome) << c.name;
        EXPECT_EQ(verdict.title, c.title) << c.name;
        EXPECT_EQ(verdict.performance, c.performance) << c.name;
        if (!c.explanation.empty()) {
            EXPECT_EQ(verdict.explanation, c.explanation) << c.name;
        }
        if (c.finding || verdict.outcome != Outcome::warning) {
            EXPECT_EQ(verdict.finding, c.finding) << c.name;
        }
        EXPECT_FALSE(verdict.quality || verdict.tcpIssue || verdict.speedOutcome) << c.name;
    }
}

TEST(SpeedVerdictTest, MergingTakesTheQualityOutcome) {
    using Quality = QualityAssessment::Outcome;
    struct Case {
        Outcome speed;
        Quality quality;
        Outcome merged;
    };
    const Case cases[] = {
        {Outcome::passed, Quality::healthy, Outcome::passed},
        {Outcome::measured, Quality::healthy, Outcome::measured},
        {Outcome::warning, Quality::healthy, Outcome::measured},
        {Outcome::passed, Quality::tcpConcern, Outcome::warning},
        {Outcome::passed, Quality::interfaceConcern, Outcome::warning},
        {Outcome::measured, Quality::udpConcern, Outcome::warning},
        {Outcome::passed, Quality::limited, Outcome::inconclusive},
        {Outcome::passed, Quality::incomplete, Outcome::incomplete},
        {Outcome::incomplete, Quality::healthy, Outcome::incomplete},
    };
    for (const auto& c : cases) {
        ResultAssessment speed;
        speed.outcome = c.speed;
        speed.title = "speed";
        speed.performance = "perf";
        speed.finding = ResultAssessment::UnevenSpeeds{1};
        const QualityAssessment quality{c.quality, "q", "because",
                                        QualityAssessment::TCPIssue::dips};
        const auto merged = speed.merging(quality);
        EXPECT_EQ(merged.outcome, c.merged);
        if (c.speed == Outcome::incomplete) {
            EXPECT_EQ(merged, speed);
            continue;
        }
        EXPECT_EQ(merged.title, "q");
        EXPECT_EQ(merged.explanation, "because");
        EXPECT_EQ(merged.performance, "perf");
        EXPECT_EQ(merged.finding, speed.finding);
        EXPECT_EQ(merged.quality, c.quality);
        EXPECT_EQ(merged.tcpIssue, QualityAssessment::TCPIssue::dips);
        EXPECT_EQ(merged.speedOutcome, c.speed);
    }
}

}  // namespace
}  // namespace sorvanta
