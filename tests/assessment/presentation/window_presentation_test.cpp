#include "assessment/presentation/window_presentation.h"

#include <gtest/gtest.h>

#include <functional>

#include "assessment/run_fixture.h"

namespace sorvanta {
namespace {

using namespace fixture;
using Phase = SpeedSnapshot::Phase;
using W = WindowPresentation;
using Mutate = std::function<void(ServiceSnapshot&)>;

const DisplayFormat en("en_US", "UTC");

WiredInterface wired(int index, std::optional<bool> link, std::string label = "eth") {
    WiredInterface i;
    i.identity = {"eth" + std::to_string(index), index};
    i.label = std::move(label);
    i.linkActive = link;
    return i;
}

// Connected to one compatible peer over one adapter with its link up.
ServiceSnapshot ready() {
    ServiceSnapshot s;
    s.state = ConnectionState::ready;
    s.permission = LocalNetworkState::available;
    s.detectedInterfaces = s.interfaces = {wired(2, true)};
    s.selectedIndex = 2;
    s.peers = {Peer{"mini", "Mini", macB, true, std::nullopt}};
    s.activePeerName = "Mini";
    return s;
}

// `speed` as the shown, current run.
ServiceSnapshot shown(SpeedSnapshot speed) {
    auto s = ready();
    s.speed = std::move(speed);
    if (s.speed.run) {
        s.resultContext = ResultContext{*s.speed.run, "Mini", std::nullopt};
    }
    return s;
}

TEST(WindowPresentationTest, GuidanceTakesTheFirstMatchingRow) {
    struct Case {
        const char* name;
        Mutate change;
        bool settling;
        const char* text;
        bool working;
    };
    const Case cases[] = {
        {"blocked", [](auto& s) { s.permission = LocalNetworkState::unavailable; }, false,
         "Allow Sorvanta in Local Network settings", false},
        {"not direct", [](auto& s) { s.directLink = false; }, false,
         "Connect the Macs directly \u2014 wall jacks are fine", false},
        {"idle without adapters",
         [](auto& s) { s.state = ConnectionState::idle, s.detectedInterfaces.clear(); }, false,
         "Looking for the other Mac\u2026", true},
        {"attaching",
         [](auto& s) {
             s.state = ConnectionState::searching, s.detectedInterfaces.clear();
             s.adapterAttaching = true;
         },
         false, "Waiting for the Ethernet adapter\u2026", true},
        {"no adapter",
         [](auto& s) { s.state = ConnectionState::searching, s.detectedInterfaces.clear(); }, false,
         "Connect an Ethernet adapter", false},
        {"cable out", [](auto& s) { s.detectedInterfaces[0].linkActive = false; }, false,
         "Connect an Ethernet cable", false},
        {"cable out, settling", [](auto& s) { s.detectedInterfaces[0].linkActive = false; }, true,
         "Waiting for the Ethernet link\u2026", true},
        {"unknown link is not down, then two adapters to choose from",
         [](auto& s) {
             s.state = ConnectionState::searching, s.selectedIndex.reset();
             s.detectedInterfaces = s.interfaces = {wired(2, std::nullopt), wired(3, false)};
         },
         false, "Choose your Ethernet adapter: Connection \u203a Ethernet Adapter", false},
        {"every link down without a choice",
         [](auto& s) {
             s.selectedIndex.reset();
             s.detectedInterfaces = s.interfaces = {wired(2, false), wired(3, false)};
         },
         false, "Connect an Ethernet cable", false},
        {"connecting", [](auto& s) { s.state = ConnectionState::connecting; }, false,
         "Connecting\u2026", true},
        {"no peer", [](auto& s) { s.state = ConnectionState::searching, s.peers.clear(); }, false,
         "Open Sorvanta on the other Mac", false},
        {"no peer, settling",
         [](auto& s) { s.state = ConnectionState::searching, s.peers.clear(); }, true,
         "Looking for the other Mac\u2026", true},
        {"incompatible",
         [](auto& s) { s.state = ConnectionState::peerFound, s.peers[0].compatible = false; },
         false, "Use the same Sorvanta version on both Macs", false},
        {"two peers",
         [](auto& s) { s.state = ConnectionState::peerFound, s.peers.push_back(s.peers[0]); },
         false, "More than one Mac found \u2014 connect just one", false},
        {"one peer found", [](auto& s) { s.state = ConnectionState::peerFound; }, false,
         "Open Sorvanta on the other Mac", false},
    };
    for (const auto& c : cases) {
        auto s = ready();
        c.change(s);
        const std::pair<std::string, bool> expected{c.text, c.working};
        EXPECT_EQ(W::guidance(s, c.settling), expected) << c.name;
    }
}

TEST(WindowPresentationTest, ConnectionErrorLines) {
    const std::pair<SetupIssue, const char*> cases[] = {
        {SetupIssue::timeout, "Mini didn\u2019t respond in time. Try again."},
        {SetupIssue::refused, "Mini refused the test connection. Try again."},
        {SetupIssue::connection, "Couldn\u2019t reach Mini for the test. Check the cable."},
        {SetupIssue::consent,
         "Mini didn\u2019t accept the test \u2014 it may be busy, not directly "
         "cabled, or seeing another Mac."},
        {SetupIssue::incompatible, "Use the same Sorvanta version on both Macs."},
    };
    for (const auto& [issue, line] : cases) {
        EXPECT_EQ(W::connectionErrorText(issue, "Mini", true), line);
    }
    EXPECT_EQ(W::connectionErrorText(SetupIssue::policyDenied, "Mini", true),
              "Mini is blocking Sorvanta in Local Network settings.");
    EXPECT_EQ(W::connectionErrorText(SetupIssue::policyDenied, "Mini", false),
              "This Mac is blocking Sorvanta in Local Network settings.");
}

// A run in progress at `phase` in stage `stage`, with live directions.
SpeedSnapshot running(Phase phase, std::int64_t stage) {
    auto speed = completeRun();
    speed.busy = true;
    speed.phase = phase;
    speed.stage = stage;
    speed.stages.resize(static_cast<std::size_t>(stage));
    speed.quality = {};
    return speed;
}

DirectionMeasurement live(const Uuid& sender, double seconds, double rolling) {
    DirectionMeasurement d;
    d.sender = sender;
    d.sample = SpeedSample{
        static_cast<std::uint64_t>(rolling * seconds / 8), seconds, rolling, true, {}, {}};
    return d;
}

TEST(WindowPresentationTest, WindowFollowsConnectionAndRun) {
    using Lane = W::Lane;
    using Rates = W::Rates;
    struct Case {
        const char* name;
        ServiceSnapshot snapshot;
        bool connected;
        W::Action action;
        std::string line;
        std::vector<Lane> lanes = {};
        Rates rates = {};
    };
    auto with = [](ServiceSnapshot s, const Mutate& change) {
        change(s);
        return s;
    };
    auto duplex = running(Phase::measuring, 2);
    duplex.directions = {live(macB, 4, 9e8), live(macA, 4, 9.2e8)};
    auto reverse = running(Phase::measuring, 1);
    reverse.directions = {live(macB, 5, 9.3e8)};
    auto quality = running(Phase::quality, 3);
    quality.qualityLeg = 1;
    auto stopped = completeRun();
    stopped.phase = Phase::cancelled;
    stopped.endedRemotely = true;
    auto setup = stopped;
    setup.phase = Phase::failed;
    setup.preparation.bulkStarted = false;
    setup.preparation.issue = SetupIssue::timeout;
    auto failed = completeRun();
    failed.phase = Phase::failed;
    failed.end = RunEndCause::connection;
    const Case cases[] = {
        {"ready, direct link unknown", ready(), true, W::Action::test, ""},
        {"not directly linked", with(ready(), [](auto& s) { s.directLink = false; }), false,
         W::Action::none, ""},
        {"blocked while ready",
         with(ready(), [](auto& s) { s.permission = LocalNetworkState::unavailable; }), false,
         W::Action::openSettings, ""},
        {"test starting while searching",
         with(shown(running(Phase::preparing, 0)),
              [](auto& s) { s.state = ConnectionState::searching; }),
         true, W::Action::stop, "Starting\u2026"},
        {"stop requested", shown(running(Phase::cancelled, 1)), true, W::Action::none,
         "Stopping\u2026"},
        {"another run's context",
         with(shown(running(Phase::measuring, 0)), [](auto& s) { s.resultContext->run = macA; }),
         true, W::Action::stop, "Starting\u2026"},
        {"duplex: outbound lane first",
         shown(duplex),
         true,
         W::Action::stop,
         "",
         {Lane{1, W::Flow::chevrons, 9.2e8}, Lane{-1, W::Flow::chevrons, 9e8}},
         Rates{Rates::Kind::both, 9.2e8, 9e8}},
        {"reverse: the other Mac sends",
         shown(reverse),
         true,
         W::Action::stop,
         "",
         {Lane{-1, W::Flow::chevrons, 9.3e8}},
         Rates{Rates::Kind::inbound, std::nullopt, 9.3e8}},
        {"quality leg 1 from the other Mac",
         shown(quality),
         true,
         W::Action::stop,
         "",
         {Lane{-1, W::Flow::dots, std::nullopt}}},
        {"complete",
         shown(completeRun()),
         true,
         W::Action::testAgain,
         "Gigabit-class speed both ways. No packet loss.",
         {},
         Rates{Rates::Kind::both, 940e6, 930e6}},
        {"stopped by the other Mac", shown(stopped), true, W::Action::testAgain,
         "Stopped on Mini."},
        {"setup issue", shown(setup), true, W::Action::testAgain,
         "Mini didn\u2019t respond in time. Try again."},
        {"failed", shown(failed), true, W::Action::testAgain,
         "The connection dropped during the test. Details has the reason."},
        {"failed, then disconnected",
         with(shown(failed), [](auto& s) { s.state = ConnectionState::searching; }), false,
         W::Action::none, "Connection lost during the test."},
        {"setup issue, then disconnected",
         with(shown(setup), [](auto& s) { s.state = ConnectionState::searching; }), false,
         W::Action::none, ""},
    };
    for (const auto& c : cases) {
        const W w(c.snapshot, macA, false, false, en);
        EXPECT_EQ(w.connected, c.connected) << c.name;
        EXPECT_EQ(w.action, c.action) << c.name;
        EXPECT_EQ(w.line, c.line) << c.name;
        EXPECT_EQ(w.lanes, c.lanes) << c.name;
        EXPECT_EQ(w.rates, c.rates) << c.name;
        EXPECT_EQ(w.peerName.has_value(), c.connected) << c.name;
        EXPECT_EQ(w.centerText.has_value(), !c.connected) << c.name;
    }
}

TEST(WindowPresentationTest, LosingTheConnectionResetsTheTilesAndPortsFollowTheAdapter) {
    auto s = shown(completeRun());
    s.detectedInterfaces[0].linkSpeed = 1'000'000'000;
    s.detectedInterfaces[0].adapter = AdapterProfile{2'500'000'000, {}, {}, {}};
    const W before(s, macA, false, false, en);
    EXPECT_EQ(before.linkCaption, "1 Gbps link");
    EXPECT_EQ(before.localPort, 2'500'000'000u);
    EXPECT_EQ(before.passes[0].state, W::PassState::good);
    s.state = ConnectionState::searching;
    const W after(s, macA, false, false, en);
    for (const auto& pass : after.passes) {
        EXPECT_EQ(pass, (W::Pass{pass.kind, W::PassState::pending, 0, W::kindName(pass.kind), {}}));
    }
    EXPECT_EQ(after.line, "");

    ServiceSnapshot idle;
    EXPECT_FALSE(W(idle, macA, false, false, en).noLocalPort);
    idle.state = ConnectionState::searching;
    EXPECT_TRUE(W(idle, macA, false, false, en).noLocalPort);
    auto arriving = ready();
    arriving.detectedInterfaces[0].linkActive.reset();
    EXPECT_TRUE(W(arriving, macA, false, true, en).localPortStarting);
    EXPECT_FALSE(W(arriving, macA, false, false, en).localPortStarting);
}

}  // namespace
}  // namespace sorvanta
