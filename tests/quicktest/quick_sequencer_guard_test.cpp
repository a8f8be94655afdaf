#include <gtest/gtest.h>

#include "quicktest/loopback_pair.h"

namespace sorvanta::test {
namespace {

using Phase = SpeedSnapshot::Phase;
using Kind = SpeedMessage::Kind;

constexpr const char* ordering = "Incomplete. Invalid sequence message or channel ordering: ";

bool phaseIs(const LoopbackPair& pair, int side, Phase phase) {
    const auto& snapshots = pair.sides[side].snapshots;
    return !snapshots.empty() && snapshots.back().phase == phase;
}

std::int64_t stageOf(const LoopbackPair& pair, int side) {
    const auto& snapshots = pair.sides[side].snapshots;
    return snapshots.empty() ? 0 : snapshots.back().stage;
}

// A message injected into one side at one point of an otherwise clean run: either the
// side ends with the ordering failure (`failure` names the error) or the message is
// dropped and the run completes.
struct Guard {
    const char* name;
    int side;
    std::function<bool(const LoopbackPair&)> when;
    std::function<SpeedMessage(const LoopbackPair&)> make;
    const char* failure;  // nullptr: dropped
    // Check connections never connect, so the run stays in preparation.
    bool holdChecks = false;
    int times = 1;
};

auto fromPeer(Kind kind, std::int64_t stage = 0) {
    return [kind, stage](const LoopbackPair& pair) {
        auto m = pair.messageFrom(0, kind, pair.sides[1].id);
        m.stage = stage;
        return m;
    };
}

auto fromInitiator(Kind kind, std::int64_t stage = 0) {
    return [kind, stage](const LoopbackPair& pair) {
        auto m = pair.messageFrom(0, kind, pair.sides[0].id);
        m.stage = stage;
        return m;
    };
}

auto inPhase(int side, Phase phase) {
    return [side, phase](const LoopbackPair& pair) { return phaseIs(pair, side, phase); };
}

auto inStage(int side, std::int64_t stage, Phase phase) {
    return [=](const LoopbackPair& pair) {
        return stageOf(pair, side) == stage && phaseIs(pair, side, phase);
    };
}

// Test listings and failures name the case rather than dump its bytes.
void PrintTo(const Guard& row, std::ostream* out) { *out << row.name; }

class GuardTest : public ::testing::TestWithParam<Guard> {};

TEST_P(GuardTest, FailsOrDropsAsTheProtocolSays) {
    const auto& row = GetParam();
    LoopbackPair pair;
    pair.relayCancel = false;
    if (row.holdChecks) {
        pair.world->onBulkStart = [](FakeBulk& bulk) { return bulk.settings().verificationOnly; };
    }
    pair.start();
    pair.runUntil([&] { return row.when(pair); });
    ASSERT_TRUE(row.when(pair));
    for (int i = 0; i < row.times; ++i) {
        auto m = row.make(pair);
        ASSERT_TRUE(std::string_view(row.name) == "otherRun" || m.run == pair.runID);
        pair.inject(row.side, std::move(m));
    }
    pair.runFor(130);

    const auto& ended = pair.sides[row.side].ended;
    ASSERT_TRUE(ended);
    if (row.failure) {
        EXPECT_EQ(ended->status, std::string(ordering) + row.failure);
        EXPECT_EQ(ended->phase, Phase::failed);
        EXPECT_EQ(ended->end, RunEndCause::tester);
    } else {
        EXPECT_EQ(ended->phase, Phase::complete) << ended->status;
    }
    EXPECT_EQ(pair.sides[row.side].endedCount, 1);
}

// A message of a leg attempt that already ended: its probe is retired.
SpeedMessage lastProgressOfLeg0(const LoopbackPair& pair) {
    for (auto it = pair.sides[1].sent.rbegin(); it != pair.sides[1].sent.rend(); ++it) {
        if (it->kind == Kind::udpProgress && it->udp->leg == 0) {
            return *it;
        }
    }
    return {};
}

bool leg0Stored(const LoopbackPair& pair) {
    const auto& snapshots = pair.sides[0].snapshots;
    return !snapshots.empty() && snapshots.back().quality.udp.size() == 1;
}

INSTANTIATE_TEST_SUITE_P(
    Guards, GuardTest,
    ::testing::Values(Guard{"otherRun", 0, inPhase(0, Phase::measuring),
                            [](const LoopbackPair& pair) {
                                auto m = fromInitiator(Kind::checkStart)(pair);
                                m.run = Uuid::random();
                                return m;
                            },
                            nullptr},
                      Guard{"otherProfile", 0, inPhase(0, Phase::measuring),
                            [](const LoopbackPair& pair) {
                                auto m = fromPeer(Kind::checkReady)(pair);
                                m.profile = QuickProfile::forward;
                                return m;
                            },
                            "malformed"},
                      Guard{"checkStartToInitiator", 0, inPhase(0, Phase::checking),
                            fromInitiator(Kind::checkStart), "unexpectedMessage", true},
                      Guard{"checkWaitingFromSelf", 0, inPhase(0, Phase::checking),
                            [](const LoopbackPair& pair) {
                                auto m = fromInitiator(Kind::checkWaiting)(pair);
                                m.issue = SetupIssue::timeout;
                                return m;
                            },
                            "identityChanged", true},
                      Guard{"secondCheckReady", 0, inPhase(0, Phase::checking),
                            fromPeer(Kind::checkReady), "unexpectedMessage", true, 2},
                      Guard{"checkAfterBulk", 0, inPhase(0, Phase::warming),
                            fromPeer(Kind::checkReady), "unexpectedMessage"},
                      Guard{"advanceBeforePreparation", 1, inPhase(1, Phase::checking),
                            fromInitiator(Kind::advance, 1), "unexpectedMessage", true},
                      Guard{"advanceToInitiator", 0, inPhase(0, Phase::measuring),
                            fromInitiator(Kind::advance, 1), "unexpectedMessage"},
                      Guard{"advanceBeforeClosing", 1, inStage(1, 0, Phase::measuring),
                            fromInitiator(Kind::advance, 1), "unexpectedMessage"},
                      Guard{"stageMessageAhead", 1, inStage(1, 0, Phase::warming),
                            fromInitiator(Kind::measure, 1), "unexpectedMessage"},
                      Guard{"stageMessageBehindDropped", 1, inStage(1, 1, Phase::measuring),
                            fromInitiator(Kind::measure, 0), nullptr},
                      Guard{"secondMeasure", 1, inStage(1, 0, Phase::measuring),
                            fromInitiator(Kind::measure), "unexpectedMessage"},
                      Guard{"finishToInitiator", 0, inPhase(0, Phase::measuring),
                            fromInitiator(Kind::finish), "unexpectedMessage"},
                      Guard{"finishBeforeResults", 1, inStage(1, 0, Phase::measuring),
                            fromInitiator(Kind::finish), "unexpectedMessage"},
                      Guard{"secondWarmedFromPeer", 0, inStage(0, 0, Phase::measuring),
                            [](const LoopbackPair& pair) {
                                return pair.messageFrom(0, Kind::warmed, pair.sides[0].id);
                            },
                            "unexpectedMessage"},
                      Guard{"qualityDuringStage", 1, inStage(1, 0, Phase::measuring),
                            fromInitiator(Kind::qualityStart, 2), "unexpectedMessage"},
                      Guard{"secondQualityStart", 1, inPhase(1, Phase::quality),
                            fromInitiator(Kind::qualityStart, 2), "unexpectedMessage"},
                      Guard{"qualityStartToInitiator", 0, inPhase(0, Phase::quality),
                            fromInitiator(Kind::qualityStart, 2), "unexpectedMessage"},
                      Guard{"qualityCommitEarly", 1, inPhase(1, Phase::quality),
                            fromInitiator(Kind::qualityCommit, 2), "unexpectedMessage"},
                      // A probe message of an attempt that has ended is still in flight: dropped.
                      Guard{"lateProbeProgressDropped", 0, leg0Stored, lastProgressOfLeg0,
                            nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

// Endings the sequencer mends instead of failing in a muddled way.
TEST(QuickSequencerMends, CheckListenerThatCannotBeBuiltFailsSoundly) {
    for (int variant = 0; variant < 2; ++variant) {
        LoopbackPair pair;
        pair.relayCancel = false;
        if (variant == 0) {
            pair.world->refuseChecks = true;
        } else {
            pair.sides[0].random = [](std::span<std::uint8_t>) { return false; };
        }
        pair.start();
        const auto& ended = pair.sides[0].ended;
        ASSERT_TRUE(ended);
        EXPECT_EQ(ended->status, "Incomplete. Could not prepare the verification listener.");
        EXPECT_EQ(ended->end, RunEndCause::tester);
        EXPECT_FALSE(pair.sentKind(0, Kind::checkFailed));
    }
}

TEST(QuickSequencerMends, ReasonNeverCarriesThePrefixTwice) {
    LoopbackPair pair;
    pair.start();
    pair.stop(0, "Incomplete. Stopped here.", false, RunEndCause::stopped);
    ASSERT_TRUE(pair.sides[0].ended);
    EXPECT_EQ(pair.sides[0].ended->status, "Incomplete. Stopped here.");
}

TEST(QuickSequencerMends, StatusFollowsTheServicePrefixRule) {
    // The service composes statuses by the same rule, so a reason it hands over already
    // ending a run reads the same on both layers.
    const std::pair<const char*, const char*> rows[] = {
        {"Stopped here.", "Incomplete. Stopped here."},
        {"Incomplete.Done", "Incomplete.Done"},
        {"Incomplete. Stopped here.", "Incomplete. Stopped here."},
    };
    for (const auto& [reason, status] : rows) {
        LoopbackPair pair;
        pair.start();
        pair.stop(0, reason, false, RunEndCause::stopped);
        ASSERT_TRUE(pair.sides[0].ended);
        EXPECT_EQ(pair.sides[0].ended->status, status);
    }
}

TEST(QuickSequencerMends, PeerEvidenceMustBeThePeers) {
    LoopbackPair pair;
    pair.relayCancel = false;
    pair.wire = [&](int from, SpeedMessage& m) {
        if (from == 1 && m.kind == Kind::qualityAck && m.ethernet) {
            m.ethernet->participant = pair.sides[0].id;
        }
        return true;
    };
    pair.start();
    pair.runFor(130);
    ASSERT_TRUE(pair.sides[0].ended);
    EXPECT_EQ(pair.sides[0].ended->status, std::string(ordering) + "malformed");
    for (const auto& evidence : pair.sides[0].ended->quality.ethernet) {
        EXPECT_EQ(evidence.participant, pair.sides[0].id);
    }
}

// The responder's probe receiver fails while the sender's summary is on its way: the phase
// becomes unavailable, the late udpSent is dropped, and both complete with the reason.
TEST(QuickSequencerMends, UnavailableQualityWithMessagesInFlight) {
    LoopbackPair pair;
    pair.world->onProbeEvent = [&](FakeProbe& probe, const ProbeEvent& event) {
        if (event.kind == ProbeEvent::Kind::sent && probe.settings().binding.leg == 0) {
            for (const auto& other : pair.world->probes) {
                if (other->settings().receiving &&
                    other->settings().binding == probe.settings().binding) {
                    other->emit(
                        ProbeEvent::failure("Probe path changed.", false, RunEndCause::connection));
                }
            }
        }
        return true;
    };
    pair.start();
    pair.runFor(130);
    ASSERT_TRUE(pair.bothEnded());
    EXPECT_TRUE(pair.sentKind(0, Kind::udpSent));
    EXPECT_TRUE(pair.sentKind(1, Kind::qualityUnavailable));
    for (const auto& side : pair.sides) {
        EXPECT_EQ(side.ended->phase, Phase::complete) << side.ended->status;
        EXPECT_EQ(side.ended->quality.reason, "Probe path changed.");
        EXPECT_TRUE(side.ended->quality.complete);
    }
}

}  // namespace
}  // namespace sorvanta::test
