#include <gtest/gtest.h>

#include <functional>

#include "assessment/presentation/window_presentation.h"
#include "assessment/run_fixture.h"

namespace sorvanta {
namespace {

using namespace fixture;
using Phase = SpeedSnapshot::Phase;
using W = WindowPresentation;
using State = W::PassState;
using Kind = W::PassKind;

const DisplayFormat en("en_US", "UTC");

ServiceSnapshot shown(const SpeedSnapshot& speed) {
    ServiceSnapshot s;
    s.speed = speed;
    s.resultContext = ResultContext{run, "Mini", std::nullopt};
    return s;
}

std::vector<W::Pass> row(const SpeedSnapshot& speed, const Uuid& local = macA) {
    return W::passRow(shown(speed), speed, local, local == macA, en);
}

TEST(PassRowTest, TilesInEveryState) {
    struct Case {
        const char* name;
        std::function<void(SpeedSnapshot&)> change;
        std::vector<Kind> kinds;
        std::vector<State> states;
        std::vector<double> progress;
    };
    const std::vector<Kind> outFirst{Kind::outbound, Kind::inbound, Kind::duplex, Kind::quality};
    const auto p = State::pending;
    const auto g = State::good;
    const auto f = State::failed;
    const auto r = State::running;
    const Case cases[] = {
        {"complete", [](auto&) {}, outFirst, {g, g, g, g}, {1, 1, 1, 1}},
        {"failed in reverse",
         [](auto& s) {
             s.phase = Phase::failed, s.stage = 1;
             s.stages.resize(1);
         },
         outFirst,
         {g, f, p, p},
         {1, 1, 0, 0}},
        {"failed after duplex",
         [](auto& s) { s.phase = Phase::failed; },
         outFirst,
         {g, g, g, f},
         {1, 1, 1, 1}},
        {"failed in preparation",
         [](auto& s) {
             s.phase = Phase::failed, s.stage = 0, s.preparation.bulkStarted = false;
             s.stages.clear();
         },
         outFirst,
         {p, p, p, p},
         {0, 0, 0, 0}},
        {"measuring forward",
         [](auto& s) {
             s.phase = Phase::measuring, s.busy = true, s.stage = 0;
             s.directions = {s.stages[0].directions[0]};
             s.directions[0].complete = false;
             s.directions[0].sample->seconds = 4;
             s.stages.clear();
         },
         outFirst,
         {r, p, p, p},
         {0.4, 0, 0, 0}},
        {"probing leg 1",
         [](auto& s) {
             s.phase = Phase::quality, s.busy = true, s.qualityLeg = 1, s.quality.complete = false;
         },
         outFirst,
         {g, g, g, r},
         {1, 1, 1, 0.7}},
        {"no context", [](auto& s) { s.run = macB; }, outFirst, {p, p, p, p}, {0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        auto speed = completeRun();
        c.change(speed);
        const auto passes = row(speed);
        ASSERT_EQ(passes.size(), 4u) << c.name;
        for (std::size_t i = 0; i < 4; ++i) {
            EXPECT_EQ(passes[i].kind, c.kinds[i]) << c.name << " " << i;
            EXPECT_EQ(passes[i].state, c.states[i]) << c.name << " " << i;
            EXPECT_DOUBLE_EQ(passes[i].progress, c.progress[i]) << c.name << " " << i;
        }
    }
    // The responder's forward stage is received, so its first tile is inbound.
    EXPECT_EQ(row(completeRun(), macB)[0].kind, Kind::inbound);
}

TEST(PassRowTest, DetailsAndCaptions) {
    auto passes = row(completeRun());
    EXPECT_EQ(passes[0].detail, "Outbound: 940 Mbps");
    EXPECT_EQ(passes[0].caption, (W::Caption{W::Caption::Kind::rate, 940e6, 0, {}}));
    EXPECT_EQ(passes[2].detail, "Duplex: 935 Mbps out, 925 Mbps in");
    EXPECT_EQ(passes[3].detail, "Quality: no packet loss");
    EXPECT_EQ(passes[3].caption->text, "No loss");

    auto lossy = completeRun();
    lossy.quality.udp[1].unique -= 1000;
    lossy.quality.udp[1].unexplainedHoles = 1000;
    passes = row(lossy);
    EXPECT_EQ(passes[3].state, State::warning);
    EXPECT_EQ(passes[3].detail, "Quality: 1,000 of 216,796 packets lost");
    EXPECT_EQ(passes[3].caption->text, "1,000 lost");
    EXPECT_EQ(W::resultLine(lossy, macA, 940e6, 930e6, en),
              "Some packets were lost: 1,000 of 216,796.");

    // A finding on the link marks the three TCP tiles; the quality tile keeps its own state.
    auto slowLink = completeRun();
    for (auto& e : slowLink.quality.ethernet) {
        e.adapter->assured = 2'500'000'000;
    }
    const std::map<int, State> tcpTiles{
        {0, State::warning}, {1, State::warning}, {2, State::warning}};
    EXPECT_EQ(W::concernStates(slowLink, macA), tcpTiles);
}

TEST(PassRowTest, ResultLines) {
    struct Case {
        std::function<void(SpeedSnapshot&)> change;
        const char* line;
    };
    const Case cases[] = {
        {[](auto&) {}, "Gigabit-class speed both ways. No packet loss."},
        {[](auto& s) { receiverDropped(s, 1000), rerun(s); },
         "No packet loss at 560 Mbps \u2014 Mini likely couldn\u2019t keep up at 701 Mbps."},
        {[](auto& s) { s.phase = Phase::cancelled; }, "Test stopped."},
        {[](auto& s) { s.quality.udp[1].unique -= 1000, s.quality.udp[1].unexplainedHoles = 1000; },
         "Some packets were lost: 1,000 of 216,796."},
        {[](auto& s) { s.quality.udp[1].highJitterSeconds = 0.6; }, "Packet timing was uneven."},
        {[](auto& s) { s.quality.ethernet[1].after->rxErrors = 13; },
         "Network errors increased during the test."},
        {[](auto& s) { s.quality.ethernet[1].links[2].rate = 100'000'000; },
         "The link changed during the test."},
        {[](auto& s) {
             for (auto& e : s.quality.ethernet) {
                 e.adapter->assured = 2'500'000'000;
             }
         },
         "Connected at 1 Gbps, though both adapters support 2.5 Gbps \u2014 check the cable."},
    };
    for (const auto& c : cases) {
        auto speed = completeRun();
        c.change(speed);
        EXPECT_EQ(W::resultLine(speed, macA, 940e6, 930e6, en), c.line);
    }
}

TEST(PassRowTest, FailureAndRateTexts) {
    struct Case {
        std::optional<RunEndCause> end;
        bool remotely;
        const char* line;
    };
    const Case cases[] = {
        {std::nullopt, false, "The test stopped before it finished. Details has the reason."},
        {RunEndCause::stopped, true,
         "The test stopped before it finished. Details has the reason."},
        {RunEndCause::connection, false,
         "The connection dropped during the test. Details has the reason."},
        {RunEndCause::tester, true, "Mini couldn\u2019t finish the test. Details has the reason."},
        {RunEndCause::tester, false,
         "Sorvanta couldn\u2019t finish the test. Details has the reason."},
    };
    for (const auto& c : cases) {
        auto speed = completeRun();
        speed.end = c.end;
        speed.endedRemotely = c.remotely;
        EXPECT_EQ(W::failureLine(speed), c.line);
    }
    const std::pair<double, const char*> rates[] = {
        {999'999'999, "1,000 Mbps"}, {941.6e6, "942 Mbps"}, {1e9, "1 Gbps"}, {2.5e9, "2.5 Gbps"}};
    for (const auto& [bps, text] : rates) {
        EXPECT_EQ(W::rateText(bps, en), text);
    }
}

}  // namespace
}  // namespace sorvanta
