#include <gtest/gtest.h>

#include "quicktest/loopback_pair.h"

// Edges of a run checked against the rules themselves, not only one computer against the
// other: a fault both computers share passes a comparison of their records.
namespace sorvanta::test {
namespace {

using Phase = SpeedSnapshot::Phase;
using Kind = SpeedMessage::Kind;

const auto initiatorHost = asio::ip::make_address("169.254.0.2");  // where side 0 dials

std::shared_ptr<asio::steady_timer> closedGate(asio::io_context& io) {
    auto gate = std::make_shared<asio::steady_timer>(io);
    gate->expires_at(asio::steady_timer::time_point::max());
    return gate;
}

// Leg 0 is sent by the initiator, leg 1 by the responder: in each computer's records and in
// which computer's engine sends.
TEST(QuickSequencerRules, EachProbeLegIsSentByTheComputerTheRuleNames) {
    LoopbackPair pair;
    pair.start();
    pair.runFor(130);
    ASSERT_TRUE(pair.bothEnded());
    const Uuid senderOf[2] = {pair.sides[0].id, pair.sides[1].id};
    for (const auto& side : pair.sides) {
        ASSERT_EQ(side.ended->quality.udp.size(), 2u);
        for (const auto& observation : side.ended->quality.udp) {
            EXPECT_EQ(observation.sender, senderOf[observation.leg]) << observation.leg;
        }
    }
    int sending = 0;
    for (const auto& probe : pair.world->probes) {
        const auto& settings = probe->settings();
        // The engine built by side 0 reaches side 1 at the initiator's peer address.
        const int builtBy = settings.host == initiatorHost ? 0 : 1;
        const bool sends = !settings.receiving;
        EXPECT_EQ(sends, builtBy == settings.binding.leg) << settings.binding.leg;
        EXPECT_EQ(settings.binding.sender, senderOf[settings.binding.leg]);
        sending += sends ? 1 : 0;
    }
    EXPECT_EQ(sending, 2);
}

// The peer's name as the run shows it: the other computer's own name, marked when both
// computers carry the same name.
TEST(QuickSequencerRules, PeerNameIsMarkedOnlyWhenBothNamesAreTheSame) {
    const struct {
        const char* names[2];
        const char* shown[2];
    } rows[] = {
        {{"Alpha", "Beta"}, {"Beta", "Alpha"}},
        {{"Studio", "Studio"}, {"Studio (other Mac)", "Studio (other Mac)"}},
    };
    for (const auto& row : rows) {
        LoopbackPair pair;
        for (int i = 0; i < 2; ++i) {
            pair.setups[i].localName = row.names[i];
            pair.setups[i].peerName = row.names[1 - i];
        }
        pair.start();
        for (int i = 0; i < 2; ++i) {
            ASSERT_FALSE(pair.sides[i].snapshots.empty());
            EXPECT_EQ(pair.sides[i].snapshots.back().preparation.peerName, row.shown[i])
                << row.names[0] << "/" << row.names[1];
        }
    }
}

// The initiator completed and its final commit never reached the responder: the responder,
// whose evidence exchange is complete, ends completed too, however its run then ends.
TEST(QuickSequencerRules, LostFinalCommitStillCompletesTheResponder) {
    const struct {
        const char* name;
        std::function<void(LoopbackPair&)> after;
    } rows[] = {
        {"quality deadline", [](LoopbackPair& pair) { pair.runFor(40); }},
        {"link lost",
         [](LoopbackPair& pair) {
             pair.stop(1,
                       "Selected Ethernet path lost. Connection cancelled; waiting for "
                       "Ethernet.",
                       true, RunEndCause::connection);
         }},
    };
    for (const auto& row : rows) {
        LoopbackPair pair;
        pair.relayCancel = false;
        pair.wire = [](int from, SpeedMessage& m) {
            return from != 0 || m.kind != Kind::qualityCommit;
        };
        pair.start();
        pair.runUntil([&] { return pair.sides[0].ended.has_value(); });
        ASSERT_TRUE(pair.sides[0].ended) << row.name;
        ASSERT_FALSE(pair.sides[1].ended) << row.name;
        row.after(pair);
        ASSERT_TRUE(pair.bothEnded()) << row.name;
        const auto& initiator = *pair.sides[0].ended;
        const auto& responder = *pair.sides[1].ended;
        EXPECT_EQ(initiator.phase, Phase::complete) << row.name;
        EXPECT_EQ(responder.phase, Phase::complete) << row.name << ": " << responder.status;
        EXPECT_EQ(responder.status, "Quick Test completed; no connection interruption observed.")
            << row.name;
        EXPECT_FALSE(responder.end) << row.name;
        EXPECT_FALSE(responder.quality.reason) << row.name;
        EXPECT_TRUE(responder.quality.complete) << row.name;
        EXPECT_EQ(responder.quality.udp, initiator.quality.udp) << row.name;
        EXPECT_EQ(responder.quality.ethernet.size(), 2u) << row.name;
    }
}

// The duplex stage measures only once both receivers finished their warm-up.
TEST(QuickSequencerRules, DuplexMeasuresOnlyWhenBothReceiversAreWarm) {
    LoopbackPair pair;
    pair.relayCancel = false;
    std::shared_ptr<FakeBulk> held;
    bool initiatorWarm = false;
    // The responder's duplex receiver (it receives from the initiator) keeps its warm-up.
    pair.world->onBulkEvent = [&](FakeBulk& bulk, const BulkEvent& event) {
        const auto& settings = bulk.settings();
        if (event.kind != BulkEvent::Kind::warmed || settings.preamble.stage != 2) {
            return true;
        }
        if (settings.preamble.sender == pair.sides[0].id) {
            held = bulk.shared_from_this();
            return false;
        }
        initiatorWarm = true;
        return true;
    };
    pair.start();
    pair.runUntil([&] { return held && initiatorWarm; });
    ASSERT_TRUE(held && initiatorWarm);
    pair.runFor(0.5);
    auto measured = [&](int side) {
        for (const auto& m : pair.sides[side].sent) {
            if (m.kind == Kind::measure && m.stage == 2) {
                return true;
            }
        }
        return false;
    };
    EXPECT_FALSE(measured(0));
    for (const auto& snapshot : pair.sides[0].snapshots) {
        EXPECT_FALSE(snapshot.stage == 2 && snapshot.phase == Phase::measuring);
    }
    pair.world->onBulkEvent = nullptr;
    held->emit(BulkEvent::of(BulkEvent::Kind::warmed));
    pair.settle();
    EXPECT_TRUE(measured(0));
    pair.runFor(130);
    ASSERT_TRUE(pair.bothEnded());
    EXPECT_EQ(pair.sides[0].ended->phase, Phase::complete) << pair.sides[0].ended->status;
}

// The host stops a run that is already ending and waiting for its engines to shut down:
// the host learns the final state only once they stopped, with the evidence finalised.
TEST(QuickSequencerRules, HostFailDuringAnEndingWaitsForTheEngines) {
    LoopbackPair pair;
    pair.relayCancel = false;
    pair.start();
    pair.runFor(6);  // mid-stage, with both stage engines running
    pair.world->shutdownGate = closedGate(pair.io);
    std::shared_ptr<FakeBulk> receiver;
    for (const auto& bulk : pair.world->bulks) {
        if (!bulk->settings().verificationOnly && bulk->settings().receiving && !bulk->ended()) {
            receiver = bulk;
        }
    }
    ASSERT_TRUE(receiver);
    receiver->breakConnection("Receiver broke.", RunEndCause::tester);
    pair.settle();
    int doneCalls = 0;
    std::optional<SpeedSnapshot> final;
    const int side = receiver->settings().preamble.sender == pair.sides[0].id ? 1 : 0;
    pair.sides[side].run->fail("Test stopped.", false, RunEndCause::stopped, false,
                               [&](SpeedSnapshot state) {
                                   ++doneCalls;
                                   final = std::move(state);
                               });
    pair.settle();
    EXPECT_EQ(doneCalls, 0);
    EXPECT_FALSE(pair.sides[side].ended);

    pair.world->shutdownGate->cancel();
    pair.world->shutdownGate.reset();
    pair.settle();
    ASSERT_EQ(doneCalls, 1);
    ASSERT_TRUE(pair.sides[side].ended);
    EXPECT_EQ(final->phase, Phase::failed);
    EXPECT_EQ(final->status, "Incomplete. Receiver broke.");
    EXPECT_EQ(final->quality.ethernet, pair.sides[side].ended->quality.ethernet);
    ASSERT_EQ(final->quality.ethernet.size(), 1u);
    EXPECT_TRUE(final->quality.ethernet[0].after);
    // Every stage engine of the side that ended has stopped.
    const Uuid& own = pair.sides[side].id;
    for (const auto& bulk : pair.world->bulks) {
        const auto& settings = bulk->settings();
        const bool ownEngine =
            settings.receiving ? settings.preamble.sender != own : settings.preamble.sender == own;
        if (!settings.verificationOnly && ownEngine) {
            EXPECT_TRUE(bulk->ended());
        }
    }
}

// The host stops a run while its close-out or preparation is shutting engines down one
// after another: the ending finds no engine left to stop, yet the host learns the final
// state once, only after the last of them has stopped.
TEST(QuickSequencerRules, HostFailDuringEngineShutdownsAnswersAfterTheLast) {
    const struct {
        const char* name;
        int from;  // the side whose message starts the shutdowns on the other side
        Kind kind;
        std::int64_t stage;
        std::size_t engines;
    } rows[] = {
        {"initiator closes forward", 1, Kind::reportsReady, 0, 1},
        {"initiator closes duplex", 1, Kind::reportsReady, 2, 2},
        {"responder closes duplex", 0, Kind::stageClosed, 2, 2},
        {"responder releases checks", 0, Kind::checkStart, 0, 2},
    };
    for (const auto& row : rows) {
        LoopbackPair pair;
        pair.relayCancel = false;
        std::optional<SpeedMessage> trigger;
        pair.wire = [&](int from, SpeedMessage& m) {
            if (trigger || from != row.from || m.kind != row.kind || m.stage != row.stage) {
                return !trigger;
            }
            trigger = m;
            return false;
        };
        pair.start();
        pair.runUntil([&] { return trigger.has_value(); });
        ASSERT_TRUE(trigger) << row.name;
        const int side = 1 - row.from;
        pair.world->holdShutdowns = true;
        pair.inject(side, *trigger);
        ASSERT_EQ(pair.world->heldShutdowns.size(), 1u) << row.name;

        int doneCalls = 0;
        bool endedFirst = false;
        pair.sides[side].run->fail(
            "Test stopped.", false, RunEndCause::stopped, false, [&](SpeedSnapshot state) {
                ++doneCalls;
                const auto& ended = pair.sides[side].ended;
                endedFirst = ended && ended->status == state.status &&
                             ended->quality.ethernet == state.quality.ethernet;
            });
        pair.settle();
        for (std::size_t released = 0; released < row.engines; ++released) {
            ASSERT_EQ(pair.world->heldShutdowns.size(), released + 1) << row.name;
            EXPECT_EQ(doneCalls, 0) << row.name << ": " << released << " stopped";
            pair.world->heldShutdowns[released]->cancel();
            pair.settle();
        }
        EXPECT_EQ(pair.world->heldShutdowns.size(), row.engines) << row.name;
        EXPECT_EQ(doneCalls, 1) << row.name;
        EXPECT_TRUE(endedFirst) << row.name;
        EXPECT_EQ(pair.sides[side].endedCount, 1) << row.name;
        EXPECT_EQ(pair.sides[side].ended->phase, Phase::cancelled) << row.name;
    }
}

// A host fail after the ending is over answers at once with the same final state.
TEST(QuickSequencerRules, HostFailAfterTheEndingAnswersAtOnce) {
    LoopbackPair pair;
    pair.relayCancel = false;
    pair.start();
    pair.stop(0, "Test stopped.", false, RunEndCause::stopped);
    ASSERT_TRUE(pair.sides[0].ended);
    std::optional<SpeedSnapshot> final;
    pair.sides[0].run->fail("Later.", true, std::nullopt, false,
                            [&](SpeedSnapshot state) { final = std::move(state); });
    pair.settle();
    ASSERT_TRUE(final);
    EXPECT_EQ(final->status, "Incomplete. Test stopped.");
    EXPECT_EQ(final->phase, Phase::cancelled);
    EXPECT_EQ(final->quality.ethernet, pair.sides[0].ended->quality.ethernet);
}

}  // namespace
}  // namespace sorvanta::test
