#include "quicktest/loopback_pair.h"

#include <array>
#include <asio/post.hpp>

#include "lab/quick_test_setups.h"
#include "protocol/record_coding.h"

namespace sorvanta::test {

LoopbackPair::LoopbackPair(QuickProfile profile)
    : world(std::make_shared<FakeWorld>(io.get_executor(), scheduler)) {
    const std::array<Uuid, 2> ids = {Uuid::random(), Uuid::random()};
    const auto made = sorvanta::testing::quickTestSetups(
        ids,
        {NetworkInterface{"veth0", 3, InterfaceType::wiredEthernet},
         NetworkInterface{"veth1", 3, InterfaceType::wiredEthernet}},
        {asio::ip::make_address("169.254.0.2"), asio::ip::make_address("169.254.0.1")}, runID,
        session);
    for (int i = 0; i < 2; ++i) {
        auto& setup = setups[i];
        setup = made[i];
        setup.profile = profile;
        setup.localName = i == 0 ? "Alpha" : "Beta";
        setup.peerName = i == 0 ? "Beta" : "Alpha";
        sides[i].id = ids[i];
        sides[i].random = [](std::span<std::uint8_t> bytes) {
            for (auto& b : bytes) {
                b = 0x5A;
            }
            return true;
        };
    }
}

void LoopbackPair::start() {
    for (int i = 0; i < 2; ++i) {
        auto notify = [this, i](QuickTest::Output output) {
            auto& side = sides[i];
            if (side.ended) {
                ++side.outputsAfterEnd;
            }
            using Kind = QuickTest::Output::Kind;
            if (output.kind == Kind::send) {
                // Through the wire format, as the host carries it.
                auto copy = decodeRecord<SpeedMessage>(encodeRecord(*output.message));
                side.sent.push_back(copy);
                if (!wire || wire(i, copy)) {
                    asio::post(io, [this, i, copy] { sides[1 - i].run->deliver(copy); });
                }
            } else if (output.kind == Kind::snapshot) {
                side.snapshots.push_back(output.state);
            } else {
                const auto& ended = output.state;
                ++side.endedCount;
                side.ended = ended;
                auto& other = sides[1 - i];
                if (relayCancel && ended.phase != SpeedSnapshot::Phase::complete && !other.ended) {
                    bool failed = ended.phase == SpeedSnapshot::Phase::failed;
                    other.run->fail("Peer ended the test.", failed, ended.end, true, {});
                }
            }
        };
        QuickSequencer::Dependencies deps{io.get_executor(), world->factory(),
                                          std::shared_ptr<Scheduler>(world, &scheduler), evidence,
                                          sides[i].random};
        setups[i].notify = notify;
        sides[i].run = QuickSequencer::make(setups[i], deps);
    }
    sides[1].run->start();
    sides[0].run->start();
    settle();
}

void LoopbackPair::settle() {
    io.restart();
    io.poll();
}

void LoopbackPair::runUntil(const std::function<bool()>& condition, double limit) {
    const double end = 100.0 + limit;
    settle();
    while (!condition()) {
        auto due = scheduler.nextDue();
        if (!due || clock.now() + *due > end) {
            break;
        }
        scheduler.advance(*due);  // what falls due at that one moment
        settle();
    }
}

void LoopbackPair::runFor(double seconds) {
    const double end = clock.now() + seconds;
    runUntil([&] { return bothEnded() || clock.now() >= end; }, end - 100.0);
}

void LoopbackPair::stop(int side, const std::string& reason, bool failed, RunEndCause cause) {
    sides[side].run->fail(reason, failed, cause, false, {});
    settle();
}

bool LoopbackPair::sentKind(int side, SpeedMessage::Kind kind) const {
    for (const auto& m : sides[side].sent) {
        if (m.kind == kind) {
            return true;
        }
    }
    return false;
}

SpeedMessage LoopbackPair::messageFrom(int side, SpeedMessage::Kind kind,
                                       const Uuid& sender) const {
    SpeedMessage m;
    m.kind = kind;
    m.run = runID;
    m.sender = sender;
    m.profile = setups[side].profile;
    m.stage = 0;
    return m;
}

void LoopbackPair::inject(int side, SpeedMessage message) {
    sides[side].run->deliver(std::move(message));
    settle();
}

}  // namespace sorvanta::test
