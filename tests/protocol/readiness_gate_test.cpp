#include "protocol/readiness_gate.h"

#include <gtest/gtest.h>

#include <vector>

namespace sorvanta {
namespace {

using Refusal = ReadinessGate::Refusal;
using Facts = ReadinessGate::Facts;

const Uuid peer = *Uuid::parse("6F1D2E3C-0000-4000-8000-000000000001");
const Uuid stranger = *Uuid::parse("6F1D2E3C-0000-4000-8000-000000000002");

Facts good() {
    return {true, peer, true, {peer}, false};
}

// Each case breaks one rule and every rule after it, so only the order picks the answer.
TEST(ReadinessGateTest, RefusesInOrderAtTheFirstBrokenRule) {
    EXPECT_EQ(ReadinessGate::refusal(good()), std::nullopt);
    struct Case {
        Facts facts;
        Refusal refusal;
    };
    for (const auto& [facts, refusal] : std::vector<Case>{
             {{false, std::nullopt, false, {}, true}, Refusal::notConnected},
             {{true, std::nullopt, true, {peer}, false}, Refusal::notConnected},
             {{false, peer, true, {peer}, true}, Refusal::notConnected},
             {{true, peer, std::nullopt, {}, true}, Refusal::notDirect},
             {{true, peer, false, {stranger}, true}, Refusal::notDirect},
             {{true, peer, true, {}, true}, Refusal::notTheOnlyVisibleMac},
             {{true, peer, true, {peer, peer}, true}, Refusal::notTheOnlyVisibleMac},
             {{true, peer, true, {std::nullopt}, true}, Refusal::visibleMacIsAnother},
             {{true, peer, true, {stranger}, true}, Refusal::visibleMacIsAnother},
             {{true, peer, true, {peer}, true}, Refusal::busy},
         }) {
        EXPECT_EQ(ReadinessGate::refusal(facts), refusal) << ReadinessGate::name(refusal);
    }
}

TEST(ReadinessGateTest, RemembersTheLastSixtyFourAdmissions) {
    ReadinessGate gate;
    auto run = Uuid::random();
    auto busy = good();
    busy.runInProgress = true;
    // A refusal by the facts wins over replay and records nothing.
    EXPECT_EQ(gate.admit(run, busy), Refusal::busy);
    EXPECT_TRUE(gate.recentRuns().empty());
    EXPECT_EQ(gate.admit(run, good()), std::nullopt);
    EXPECT_EQ(gate.admit(run, good()), Refusal::replayed);
    EXPECT_EQ(gate.admit(run, busy), Refusal::busy);

    std::vector<Uuid> runs{run};
    for (int i = 1; i < 65; ++i) {
        runs.push_back(Uuid::random());
        ASSERT_EQ(gate.admit(runs.back(), good()), std::nullopt);
    }
    EXPECT_EQ(gate.recentRuns().size(), 64u);
    EXPECT_EQ(gate.admit(runs[1], good()), Refusal::replayed);
    EXPECT_EQ(gate.admit(runs[64], good()), Refusal::replayed);
    EXPECT_EQ(gate.admit(runs[0], good()), std::nullopt);
    // Readmitting the first pushed out the second.
    EXPECT_EQ(gate.admit(runs[1], good()), std::nullopt);
}

}  // namespace
}  // namespace sorvanta
