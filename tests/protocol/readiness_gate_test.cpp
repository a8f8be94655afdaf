#include "protocol/readiness_gate.h"

#include <gtest/gtest.h>

#include <vector>

namespace sorvanta {
namespace {

using Refusal = ReadinessGate::Refusal;

const Uuid peer = *Uuid::parse("6F1D2E3C-0000-4000-8000-000000000001");
const Uuid stranger = *Uuid::parse("6F1D2E3C-0000-4000-8000-000000000002");

ReadinessGate::Facts goodFacts() {
    return {.connectionReady = true,
            .connectedMac = peer,
            .directLink = true,
            .visibleMacs = {peer},
            .runInProgress = false};
}

TEST(ReadinessGateTest, RefusesInOrderAtTheFirstBrokenRule) {
    EXPECT_EQ(ReadinessGate::refusal(goodFacts()), std::nullopt);

    // Everything broken at once: the earliest rule speaks.
    ReadinessGate::Facts worst{false, std::nullopt, false, {}, true};
    EXPECT_EQ(ReadinessGate::refusal(worst), Refusal::notConnected);

    auto facts = goodFacts();
    facts.connectedMac.reset();
    EXPECT_EQ(ReadinessGate::refusal(facts), Refusal::notConnected);

    facts = goodFacts();
    facts.connectionReady = false;
    facts.runInProgress = true;
    EXPECT_EQ(ReadinessGate::refusal(facts), Refusal::notConnected);

    for (std::optional<bool> direct : {std::optional<bool>{}, std::optional<bool>{false}}) {
        facts = goodFacts();
        facts.directLink = direct;
        facts.visibleMacs.clear();
        facts.runInProgress = true;
        EXPECT_EQ(ReadinessGate::refusal(facts), Refusal::notDirect);
    }

    for (auto visible :
         std::vector<std::vector<std::optional<Uuid>>>{{}, {peer, peer}, {peer, stranger}}) {
        facts = goodFacts();
        facts.visibleMacs = visible;
        facts.runInProgress = true;
        EXPECT_EQ(ReadinessGate::refusal(facts), Refusal::notTheOnlyVisibleMac);
    }

    for (auto visible : std::vector<std::optional<Uuid>>{std::nullopt, stranger}) {
        facts = goodFacts();
        facts.visibleMacs = {visible};
        facts.runInProgress = true;
        EXPECT_EQ(ReadinessGate::refusal(facts), Refusal::visibleMacIsAnother);
    }

    facts = goodFacts();
    facts.runInProgress = true;
    EXPECT_EQ(ReadinessGate::refusal(facts), Refusal::busy);
}

TEST(ReadinessGateTest, RemembersOnlyAdmittedRuns) {
    ReadinessGate gate;
    auto run = Uuid::random();
    EXPECT_EQ(gate.admit(run, goodFacts()), std::nullopt);
    EXPECT_EQ(gate.admit(run, goodFacts()), Refusal::replayed);

    // A refusal by the facts wins over replay and records nothing.
    auto busy = goodFacts();
    busy.runInProgress = true;
    EXPECT_EQ(gate.admit(run, busy), Refusal::busy);
    auto other = Uuid::random();
    EXPECT_EQ(gate.admit(other, busy), Refusal::busy);
    EXPECT_EQ(gate.recentRuns().size(), 1u);
    EXPECT_EQ(gate.admit(other, goodFacts()), std::nullopt);
    EXPECT_EQ(gate.recentRuns().size(), 2u);
}

TEST(ReadinessGateTest, ForgetsTheOldestAfterSixtyFourAdmissions) {
    ReadinessGate gate;
    std::vector<Uuid> runs;
    for (int i = 0; i < 65; ++i) {
        runs.push_back(Uuid::random());
        ASSERT_EQ(gate.admit(runs.back(), goodFacts()), std::nullopt);
    }
    EXPECT_EQ(gate.recentRuns().size(), 64u);
    EXPECT_EQ(gate.recentRuns().front(), runs[1]);
    EXPECT_EQ(gate.admit(runs[1], goodFacts()), Refusal::replayed);
    EXPECT_EQ(gate.admit(runs[64], goodFacts()), Refusal::replayed);
    EXPECT_EQ(gate.admit(runs[0], goodFacts()), std::nullopt);
    // Readmitting the first pushed out the second.
    EXPECT_EQ(gate.admit(runs[1], goodFacts()), std::nullopt);
}

TEST(ReadinessGateTest, NamesRefusalsByCase) {
    EXPECT_EQ(ReadinessGate::name(Refusal::notTheOnlyVisibleMac), "notTheOnlyVisibleMac");
    EXPECT_EQ(ReadinessGate::name(Refusal::replayed), "replayed");
}

}  // namespace
}  // namespace sorvanta
