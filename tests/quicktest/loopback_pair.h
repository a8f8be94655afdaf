#pragma once

#include <asio/io_context.hpp>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "quicktest/fake_engines.h"
#include "quicktest/quick_sequencer.h"

namespace sorvanta::test {

// Two sequencers, the initiator (side 0) and the responder (side 1), whose sent messages
// travel through their JSON form into each other's inbox, with fake engines and one
// manual clock: a whole Quick Test runs in milliseconds.
class LoopbackPair {
  public:
    struct Side {
        std::shared_ptr<QuickSequencer> run;
        std::vector<SpeedMessage> sent;
        std::vector<SpeedSnapshot> snapshots;
        std::optional<SpeedSnapshot> ended;
        int endedCount = 0;
        int outputsAfterEnd = 0;
        RandomFill random;
        Uuid id;
    };

    explicit LoopbackPair(QuickProfile profile = QuickProfile::quick);

    // Starts both runs (the responder first, as the host does when it answers accept).
    void start();
    // Runs timers and handlers until both runs ended or the clock passed `seconds` of run
    // time.
    void runFor(double seconds);
    void runUntil(const std::function<bool()>& condition, double limit = 130);
    // Lets the executor do what is ready, without moving the clock.
    void settle();

    // The host's stop or loss of the peer on one side: fails that run; with `relayCancel`
    // the peer's host ends the other run with the same cause, remote.
    void stop(int side, const std::string& reason, bool failed, RunEndCause cause);

    bool bothEnded() const { return sides[0].ended && sides[1].ended; }
    bool sentKind(int side, SpeedMessage::Kind kind) const;
    // A message from `side`'s peer, delivered straight into `side`'s inbox.
    void inject(int side, SpeedMessage message);
    SpeedMessage messageFrom(int side, SpeedMessage::Kind kind, const Uuid& sender) const;

    asio::io_context io;
    testing::FakeScheduler scheduler{100.0};
    ManualClock& clock = scheduler.manualClock();
    std::shared_ptr<FakeWorld> world;
    std::shared_ptr<FakeEvidence> evidence = std::make_shared<FakeEvidence>();
    Uuid runID = Uuid::random();
    Uuid session = Uuid::random();
    QuickTest::Setup setups[2];
    Side sides[2];
    // Messages from a side pass only while this returns true (default: all pass).
    std::function<bool(int from, SpeedMessage&)> wire;
    // When one run ends failed or cancelled, the other host ends its run too.
    bool relayCancel = true;
};

}  // namespace sorvanta::test
