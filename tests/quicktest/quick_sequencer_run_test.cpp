#include <gtest/gtest.h>

#include "quicktest/loopback_pair.h"

namespace sorvanta::test {
namespace {

using Phase = SpeedSnapshot::Phase;
using Kind = SpeedMessage::Kind;

struct WholeRun {
    const char* name;
    QuickProfile profile;
    std::vector<std::int64_t> limitedLegs;
    std::size_t stages;
    std::size_t observations;
    const char* status;
};

// Test listings and failures name the case rather than dump its bytes.
void PrintTo(const WholeRun& row, std::ostream* out) { *out << row.name; }

class WholeRunTest : public ::testing::TestWithParam<WholeRun> {};

// Both computers end complete with the same stages, the same probe observations in the
// same order and both computers' evidence.
TEST_P(WholeRunTest, BothSidesCompleteWithTheSameRecords) {
    const auto& row = GetParam();
    LoopbackPair pair(row.profile);
    pair.world->limitedLegs = row.limitedLegs;
    pair.start();
    pair.runFor(125);

    ASSERT_TRUE(pair.bothEnded());
    for (const auto& side : pair.sides) {
        const auto& state = *side.ended;
        EXPECT_EQ(state.phase, Phase::complete) << state.status;
        EXPECT_EQ(state.status, row.status);
        EXPECT_FALSE(state.busy);
        EXPECT_EQ(side.endedCount, 1);
        EXPECT_EQ(side.outputsAfterEnd, 0);
        EXPECT_EQ(state.stages.size(), row.stages);
        EXPECT_EQ(state.quality.udp.size(), row.observations);
        for (const auto& stage : state.stages) {
            for (const auto& direction : stage.directions) {
                EXPECT_TRUE(direction.complete && direction.transport && direction.sample);
            }
        }
        EXPECT_FALSE(pair.sentKind(&side - pair.sides, Kind::checkFailed));
    }
    const auto& a = *pair.sides[0].ended;
    const auto& b = *pair.sides[1].ended;
    EXPECT_EQ(a.stages, b.stages);
    EXPECT_EQ(a.quality.udp, b.quality.udp);
    if (row.profile == QuickProfile::quick) {
        EXPECT_EQ(a.quality.ethernet, b.quality.ethernet);
        ASSERT_EQ(a.quality.ethernet.size(), 2u);
        EXPECT_LT(a.quality.ethernet[0].participant.text(),
                  a.quality.ethernet[1].participant.text());
        EXPECT_TRUE(a.quality.complete && b.quality.complete);
        EXPECT_FALSE(a.quality.reason);
    }
    // The retried attempt follows its first attempt, with the plan's longer time.
    for (std::size_t i = 1; i < a.quality.udp.size(); ++i) {
        const auto& o = a.quality.udp[i];
        if (o.attempt == 1) {
            EXPECT_EQ(a.quality.udp[i - 1].leg, o.leg);
            EXPECT_GT(o.plannedSeconds, 3.0);
            EXPECT_LT(o.capacity, a.quality.udp[i - 1].capacity);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Profiles, WholeRunTest,
    ::testing::Values(WholeRun{"quick",
                               QuickProfile::quick,
                               {},
                               3,
                               2,
                               "Quick Test completed; no connection interruption observed."},
                      WholeRun{"quickRetryLeg0",
                               QuickProfile::quick,
                               {0},
                               3,
                               3,
                               "Quick Test completed; no connection interruption observed."},
                      WholeRun{"quickRetryBoth",
                               QuickProfile::quick,
                               {0, 1},
                               3,
                               4,
                               "Quick Test completed; no connection interruption observed."},
                      WholeRun{"forward",
                               QuickProfile::forward,
                               {},
                               1,
                               0,
                               "Diagnostic test completed; no connection interruption observed."},
                      WholeRun{"reverse",
                               QuickProfile::reverse,
                               {},
                               1,
                               0,
                               "Diagnostic test completed; no connection interruption observed."},
                      WholeRun{"duplex",
                               QuickProfile::duplex,
                               {},
                               1,
                               0,
                               "Diagnostic test completed; no connection interruption observed."}),
    [](const auto& info) { return std::string(info.param.name); });

// Ways a run ends early. `arrange` prepares the pair before the start, `act` runs once
// `when` holds; the side named ends first, with the status and end cause. Without `relay`
// the other host does not end its run, so each side meets its own deadline.
struct Ending {
    const char* name;
    std::function<void(LoopbackPair&)> arrange;
    std::function<bool(LoopbackPair&)> when;
    std::function<void(LoopbackPair&)> act;
    int side;
    Phase phase;
    const char* status;
    RunEndCause end;
    bool checkFailedSent;
    bool relay = true;
};

std::shared_ptr<FakeBulk> stageEngine(LoopbackPair& pair, bool receiving) {
    for (auto it = pair.world->bulks.rbegin(); it != pair.world->bulks.rend(); ++it) {
        if (!(*it)->settings().verificationOnly && (*it)->settings().receiving == receiving &&
            !(*it)->ended()) {
            return *it;
        }
    }
    return nullptr;
}

auto blockFrom(int from, Kind kind) {
    return [from, kind](LoopbackPair& pair) {
        pair.wire = [from, kind](int side, SpeedMessage& m) {
            return side != from || m.kind != kind;
        };
    };
}

auto atTime(double t) {
    return [t](LoopbackPair& pair) { return pair.sides[0].run->now() >= t; };
}

auto inPhase(Phase phase) {
    return [phase](LoopbackPair& pair) {
        return !pair.sides[0].snapshots.empty() && pair.sides[0].snapshots.back().phase == phase;
    };
}

auto stopBy(int side) {
    return [side](LoopbackPair& pair) {
        pair.stop(side, "Test stopped.", false, RunEndCause::stopped);
    };
}

const auto nothing = [](LoopbackPair&) {};

// Test listings and failures name the case rather than dump its bytes.
void PrintTo(const Ending& row, std::ostream* out) { *out << row.name; }

class EndingTest : public ::testing::TestWithParam<Ending> {};

TEST_P(EndingTest, EndsOnceWithTheReason) {
    const auto& row = GetParam();
    LoopbackPair pair;
    pair.relayCancel = row.relay;
    row.arrange(pair);
    pair.start();
    pair.runUntil([&] { return row.when(pair); });
    row.act(pair);
    pair.runFor(130);

    ASSERT_TRUE(pair.bothEnded());
    const auto& state = *pair.sides[row.side].ended;
    EXPECT_EQ(state.phase, row.phase);
    EXPECT_EQ(state.status, row.status);
    EXPECT_EQ(state.end, row.end);
    EXPECT_FALSE(state.endedRemotely);
    EXPECT_EQ(pair.sentKind(row.side, Kind::checkFailed), row.checkFailedSent);
    for (const auto& side : pair.sides) {
        EXPECT_EQ(side.endedCount, 1);
        EXPECT_EQ(side.outputsAfterEnd, 0);
        EXPECT_FALSE(side.ended->busy);
        // This computer's evidence is finalised however the run ended.
        ASSERT_FALSE(side.ended->quality.ethernet.empty());
        EXPECT_TRUE(side.ended->quality.ethernet.front().after);
    }
    if (row.relay) {
        const auto& other = *pair.sides[1 - row.side].ended;
        EXPECT_TRUE(other.endedRemotely);
        EXPECT_EQ(other.end, row.end);
        EXPECT_EQ(pair.sentKind(1 - row.side, Kind::checkFailed), false);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Endings, EndingTest,
    ::testing::Values(
        Ending{"stopInPreparation", nothing, atTime(0), stopBy(0), 0, Phase::cancelled,
               "Incomplete. Test stopped.", RunEndCause::stopped, false},
        Ending{"stopByResponderMidStage", nothing, atTime(20), stopBy(1), 1, Phase::cancelled,
               "Incomplete. Test stopped.", RunEndCause::stopped, false},
        Ending{"stopInQuality", nothing, inPhase(Phase::quality), stopBy(0), 0, Phase::cancelled,
               "Incomplete. Test stopped.", RunEndCause::stopped, false},
        Ending{"stopByResponderInQuality", nothing, inPhase(Phase::quality), stopBy(1), 1,
               Phase::cancelled, "Incomplete. Test stopped.", RunEndCause::stopped, false},
        Ending{"cablePulledMidStage", nothing, atTime(6),
               [](LoopbackPair& pair) {
                   stageEngine(pair, true)
                       ->breakConnection("Data connection lost.", RunEndCause::connection);
               },
               1, Phase::failed, "Incomplete. Data connection lost.", RunEndCause::connection,
               false},
        Ending{"checksNeverConnect",
               [](LoopbackPair& pair) {
                   pair.world->onBulkStart = [](FakeBulk& bulk) {
                       return bulk.settings().verificationOnly;
                   };
               },
               atTime(0), nothing, 1, Phase::failed,
               "Incomplete. Connection preparation deadline exceeded.", RunEndCause::connection,
               true, false},
        Ending{"peerProgressStops", blockFrom(1, Kind::progress), atTime(0), nothing, 0,
               Phase::failed, "Incomplete. Peer receiver progress timed out.",
               RunEndCause::connection, false},
        Ending{"receiverNeverPrepared", blockFrom(1, Kind::prepare), atTime(0), nothing, 0,
               Phase::failed, "Incomplete. Sequence or stage deadline exceeded.",
               RunEndCause::tester, false, false},
        Ending{"reportsNeverReady", blockFrom(1, Kind::reportsReady), atTime(0), nothing, 0,
               Phase::failed, "Incomplete. Stage close-out timed out.", RunEndCause::tester, false,
               false},
        Ending{"finishLost", blockFrom(0, Kind::finish), atTime(0), nothing, 1, Phase::failed,
               "Incomplete. Stage bulk exceeded 15 seconds.", RunEndCause::tester, false},
        Ending{"probeResultLost", blockFrom(1, Kind::udpResult), atTime(0), nothing, 0,
               Phase::failed, "Incomplete. Quality phase or sequence deadline exceeded.",
               RunEndCause::tester, false, false},
        Ending{"advanceLost", blockFrom(0, Kind::advance), atTime(0), nothing, 1, Phase::failed,
               "Incomplete. Invalid sequence message or channel ordering: unexpectedMessage",
               RunEndCause::tester, false}),
    [](const auto& info) { return std::string(info.param.name); });

// A connection failure waits half a second; the first reason wins.
TEST(QuickSequencerGrace, ConnectionFailureEndsAfterHalfASecond) {
    LoopbackPair pair;
    pair.relayCancel = false;
    pair.start();
    pair.runFor(6);
    auto receiver = stageEngine(pair, true);
    const double failedAt = pair.sides[1].run->now();
    receiver->breakConnection("First.", RunEndCause::connection);
    pair.runFor(0.25);
    EXPECT_FALSE(pair.sides[1].ended);
    pair.runUntil([&] { return pair.sides[1].ended.has_value(); });
    ASSERT_TRUE(pair.sides[1].ended);
    EXPECT_EQ(pair.sides[1].ended->status, "Incomplete. First.");
    EXPECT_GE(pair.sides[1].run->now() - failedAt, 0.5);
    EXPECT_LT(pair.sides[1].run->now() - failedAt, 0.8);
}

// A consumer kept busy for more than 16 s overflows the inbox with ticks.
TEST(QuickSequencerInbox, BusyConsumerOverflowsAndFails) {
    LoopbackPair pair;
    pair.relayCancel = false;
    pair.world->startGate = std::make_shared<asio::steady_timer>(pair.io);
    pair.world->startGate->expires_at(asio::steady_timer::time_point::max());
    pair.start();
    pair.runFor(20);
    EXPECT_FALSE(pair.sides[0].ended);
    pair.world->startGate->cancel();
    pair.settle();
    ASSERT_TRUE(pair.sides[0].ended);
    EXPECT_EQ(pair.sides[0].ended->status, "Incomplete. Sequence callback capacity exceeded.");
    EXPECT_EQ(pair.sides[0].endedCount, 1);
}

// Low Power Mode seen on once stays recorded; link samples are a second apart at least.
TEST(QuickSequencerEvidence, SamplesLinkAndKeepsLowPower) {
    LoopbackPair pair;
    pair.start();
    pair.runFor(5);
    pair.evidence->lowPower = true;
    pair.runFor(2);
    pair.evidence->lowPower = false;
    pair.runFor(130);
    ASSERT_TRUE(pair.bothEnded());
    for (const auto& evidence : pair.sides[0].ended->quality.ethernet) {
        EXPECT_EQ(evidence.lowPowerMode, true);
        EXPECT_GE(evidence.links.size(), 40u);
        EXPECT_FALSE(evidence.coverageReason);
        for (std::size_t i = 1; i + 1 < evidence.links.size(); ++i) {
            EXPECT_GE(evidence.links[i].offset - evidence.links[i - 1].offset, 1.0);
        }
    }
}

}  // namespace
}  // namespace sorvanta::test
