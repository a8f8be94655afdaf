#include "engines/udp_transfer.h"

#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <cerrno>
#include <functional>

#include "engines/udp_datagram.h"
#include "lab/event_recorder.h"
#include "lab/fake_network.h"

namespace sorvanta {
namespace {

using testing::FakeUdpConnection;
using Bytes = std::vector<std::uint8_t>;
using Kind = TransportState::Kind;
using Strings = std::vector<std::string>;
using Script = std::function<void(struct Leg&, FakeUdpConnection&)>;

const NetworkInterface wired{"eth7", 7, InterfaceType::wiredEthernet};
const auto peer = asio::ip::make_address("169.254.20.2");
const auto stranger = asio::ip::make_address("169.254.30.3");

NetworkPath pathTo(const asio::ip::address& host, std::vector<NetworkInterface> via = {wired}) {
    NetworkPath path{PathStatus::satisfied, std::nullopt, std::move(via), {}, {}, {}};
    path.localEndpoint = Endpoint{asio::ip::make_address("169.254.20.1"), 40000};
    path.remoteEndpoint = Endpoint{host, 50000};
    return path;
}

// A clock that moves on by a microsecond at every reading, as a real one does between the
// datagrams of one batch.
struct SteppingClock final : Clock {
    explicit SteppingClock(std::shared_ptr<ManualClock> base) : base(std::move(base)) {}
    double now() const override {
        base->advance(1e-6);
        return base->now();
    }
    double at(std::chrono::steady_clock::time_point instant) const override {
        return base->at(instant);
    }
    std::shared_ptr<ManualClock> base;
};

// One engine on fakes and a hand-moved clock; handlers run when the test polls.
struct Leg {
    asio::io_context io;
    std::shared_ptr<testing::FakeNetworkFactory> factory =
        std::make_shared<testing::FakeNetworkFactory>();
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(0.0);
    std::vector<UDPTransfer::Event> events;
    UDPBinding binding{Uuid::random(), Uuid::random(), Uuid::random(), Uuid::random(), 0,
                       Bytes(32, 9)};
    std::shared_ptr<UDPTransfer> engine;

    explicit Leg(bool receiving, double capacity = 1e8,
                 std::int64_t ceiling = UDPPacer::maximumAttempts, bool stepping = false) {
        UDPTransfer::Setup setup{binding,
                                 capacity,
                                 3.0,
                                 receiving,
                                 wired,
                                 peer,
                                 io.get_executor(),
                                 factory,
                                 [this](UDPTransfer::Event e) { events.push_back(e); },
                                 clock};
        setup.attemptCeiling = ceiling;
        if (stepping) {
            setup.clock = std::make_shared<SteppingClock>(clock);
        }
        engine = UDPTransfer::make(std::move(setup));
    }
    void poll() {
        io.restart();
        io.poll();
    }
    auto timer() { return factory->timers().at(0); }
    // Advances the clock and runs one tick.
    void tick(double seconds = 0) {
        clock->advance(seconds);
        timer()->fire();
        poll();
    }
    void ready(FakeUdpConnection& c, const asio::ip::address& host = peer) {
        c.setPath(pathTo(host));
        c.setState({Kind::ready, {}});
        poll();
    }
    Bytes datagram(std::uint8_t kind, std::uint32_t sequence, double time,
                   const std::optional<UDPBinding>& other = {}) const {
        Bytes bytes(udp_datagram::size, 0);
        udp_datagram::writeHeader(bytes, other.value_or(binding).datagramPrefix(), kind, sequence,
                                  time);
        return bytes;
    }
    Strings failures() const {
        Strings reasons;
        for (const auto& e : events) {
            if (const auto* failed = std::get_if<UDPTransfer::Failed>(&e)) {
                reasons.push_back(failed->reason);
            }
        }
        return reasons;
    }
    // The last event, which must be a T; anything else fails the test.
    template <class T>
    T last() const {
        return testing::lastAs<T>(events);
    }
    // Receiver: listening, its listener ready on port 6123.
    std::shared_ptr<testing::FakeUdpListener> listen() {
        engine->start(std::nullopt);
        auto listener = factory->udpListeners().at(0);
        listener->setState({ListenerState::Kind::ready, {}, 6123});
        poll();
        return listener;
    }
    std::shared_ptr<FakeUdpConnection> flowFrom(const asio::ip::address& host) {
        return std::make_shared<FakeUdpConnection>(io.get_executor(), Endpoint{host, 40000},
                                                   NetworkParameters{});
    }
    // Receiver: the peer's flow adopted and ready; with the readiness datagram at time 0.
    std::shared_ptr<FakeUdpConnection> receiving(bool readiness = true) {
        auto flow = flowFrom(peer);
        listen()->flow(flow);
        poll();
        ready(*flow);
        if (readiness) {
            flow->deliver(datagram(0, 0, 0.0));
            poll();
        }
        return flow;
    }
    // Sender: connected, ready and released by checkPath() at time 0.
    std::shared_ptr<FakeUdpConnection> sending() {
        engine->start(5000);
        auto c = factory->udpConnections().at(0);
        ready(*c);
        engine->checkPath();
        return c;
    }
};

Strings expected(const std::string& failure) {
    return failure.empty() ? Strings{} : Strings{failure};
}

TEST(UdpTransferTest, MakingRefusesBadLegs) {
    Leg leg(false);
    auto badLeg = leg.binding;
    badLeg.leg = 2;
    for (const auto& [binding, capacity, seconds] : {std::tuple{badLeg, 1e9, 3.0},
                                                     {leg.binding, 0.0, 3.0},
                                                     {leg.binding, 1e9, 2.99},
                                                     {leg.binding, 1e9, 6.01}}) {
        EXPECT_THROW(UDPTransfer::make({binding, capacity, seconds, false, wired, peer,
                                        leg.io.get_executor(), leg.factory, nullptr, leg.clock}),
                     ProtocolFailure);
    }
    for (std::int64_t ceiling : {std::int64_t{0}, UDPPacer::maximumAttempts + 1}) {
        UDPTransfer::Setup setup{leg.binding,           1e9,         3.0,     false,    wired, peer,
                                 leg.io.get_executor(), leg.factory, nullptr, leg.clock};
        setup.attemptCeiling = ceiling;
        EXPECT_THROW(UDPTransfer::make(std::move(setup)), ProtocolFailure) << ceiling;
    }
}

TEST(UdpTransferTest, SenderConnectionAndPath) {
    const std::string mismatch = "UDP path does not match the admitted Ethernet peer/interface.";
    const std::string unprepared = "Could not prepare the extra quality check.";
    const struct {
        const char* name;
        std::optional<std::uint16_t> port;
        Script script;
        std::string failure;
    } rows[] = {
        {"no port", std::nullopt, nullptr, unprepared},
        {"port 0", 0, nullptr, unprepared},
        {"states, path and viability before ready are ignored", 5000,
         [](Leg&, FakeUdpConnection& c) {
             c.setState({Kind::waiting, {}}), c.setState({Kind::failed, {}});
             c.setPath(pathTo(stranger)), c.setViability(false);
         },
         ""},
        {"ready on the admitted path", 5000, [](Leg& l, FakeUdpConnection& c) { l.ready(c); }, ""},
        {"ready to another host", 5000, [](Leg& l, FakeUdpConnection& c) { l.ready(c, stranger); },
         mismatch},
        {"ready over a second interface", 5000,
         [](Leg&, FakeUdpConnection& c) {
             c.setPath(pathTo(peer, {wired, {"eth8", 8, InterfaceType::wiredEthernet}}));
             c.setState({Kind::ready, {}});
         },
         mismatch},
        {"a second ready", 5000,
         [](Leg& l, FakeUdpConnection& c) {
             l.ready(c), c.setState({Kind::ready, {}});
         },
         mismatch},
        {"waiting after ready", 5000,
         [](Leg& l, FakeUdpConnection& c) {
             l.ready(c), c.setState({Kind::waiting, {}});
         },
         "UDP connection interrupted."},
        {"path lost after ready", 5000,
         [](Leg& l, FakeUdpConnection& c) { l.ready(c), c.setPath(NetworkPath{}); },
         "Selected UDP Ethernet path lost."},
        {"viability lost after ready", 5000,
         [](Leg& l, FakeUdpConnection& c) { l.ready(c), c.setViability(false); },
         "UDP path no longer viable."},
        {"readiness send fails", 5000,
         [](Leg& l, FakeUdpConnection& c) { c.setSendError(PlatformError{}), l.ready(c); },
         "UDP readiness send failed."},
    };
    for (const auto& row : rows) {
        Leg leg(false);
        leg.clock->set(1.25);
        leg.engine->start(row.port);
        leg.engine->start(row.port);  // a second start makes nothing more
        EXPECT_EQ(leg.factory->timers().size(), 1u) << row.name;
        EXPECT_EQ(leg.factory->udpConnections().size(), row.script ? 1u : 0u) << row.name;
        if (row.script) {
            auto c = leg.factory->udpConnections().at(0);
            EXPECT_EQ(c->endpoint(), (Endpoint{peer, 5000})) << row.name;
            EXPECT_EQ(c->parameters().requiredInterface, wired) << row.name;
            row.script(leg, *c);
            leg.poll();
            if (c->state().kind == Kind::ready && !c->sends().empty()) {
                EXPECT_EQ(udp_datagram::parse(c->sends()[0], leg.binding.datagramPrefix()),
                          (udp_datagram::Parsed{0, false, 1.25}));
            }
        }
        EXPECT_EQ(leg.failures(), expected(row.failure)) << row.name;
        EXPECT_EQ(leg.events.size(), leg.failures().size()) << row.name;
    }
}

TEST(UdpTransferTest, ReceiverCandidates) {
    Leg leg(true);
    auto listener = leg.listen();
    EXPECT_EQ(listener->requestedPort(), 0);
    EXPECT_EQ(leg.last<UDPTransfer::Listening>().port, 6123);
    // Flows from another host are refused and the listener stays; the peer's is adopted.
    for (int i = 0; i < 7; ++i) {
        auto flow = leg.flowFrom(stranger);
        listener->flow(flow);
        leg.poll();
        EXPECT_TRUE(flow->cancelled());
    }
    EXPECT_FALSE(listener->cancelled());
    auto flow = leg.flowFrom(peer);
    listener->flow(flow);
    leg.poll();
    EXPECT_TRUE(flow->started() && listener->cancelled());
    leg.ready(*flow);
    EXPECT_EQ(flow->receivesPending(), 64u);
    EXPECT_EQ(leg.events.size(), 1u);

    // The eighth refused candidate ends the leg, once.
    Leg crowded(true);
    auto open = crowded.listen();
    for (int i = 0; i < 9; ++i) {
        open->flow(crowded.flowFrom(stranger));
        crowded.poll();
    }
    EXPECT_EQ(crowded.failures(), Strings{"Too many UDP candidates."});
    EXPECT_FALSE(crowded.last<UDPTransfer::Failed>().safety);
}

TEST(UdpTransferTest, ReceivedDatagrams) {
    const std::string refused = "UDP readiness identity did not match.";
    const auto other = [](const Leg& l, bool run) {
        auto b = l.binding;
        run ? void(b.run = Uuid::random()) : void(b.token[31] ^= 1);
        return b;
    };
    const struct {
        const char* name;
        Script script;
        std::string failure;
        std::int64_t unique, rejected;
    } rows[] = {
        {"readiness, then probes and repeats",
         [](Leg& l, FakeUdpConnection& c) {
             for (auto [kind, sequence] : {std::pair{0, 0}, {0, 0}, {1, 0}, {1, 1}, {1, 1}}) {
                 c.deliver(l.datagram(kind, sequence, 0.1 * sequence));
             }
         },
         "", 2, 0},
        {"a probe first", [](Leg& l, FakeUdpConnection& c) { c.deliver(l.datagram(1, 0, 0.1)); },
         refused, 0, 0},
        {"another token first",
         [&](Leg& l, FakeUdpConnection& c) { c.deliver(l.datagram(0, 0, 0.1, other(l, false))); },
         refused, 0, 0},
        {"an empty datagram first", [](Leg&, FakeUdpConnection& c) { c.deliver({}); }, refused, 0,
         0},
        {"strangers after readiness only count",
         [&](Leg& l, FakeUdpConnection& c) {
             c.deliver(l.datagram(0, 0, 0.1)), c.deliver(l.datagram(1, 0, 0.2, other(l, false)));
             c.deliver(l.datagram(1, 1, 0.2, other(l, true))), c.deliver({});
             c.deliver(l.datagram(1, 0, 0.2));
         },
         "", 1, 3},
        {"a receive error", [](Leg&, FakeUdpConnection& c) { c.failReceive(PlatformError{}); },
         "UDP receiver cannot continue.", 0, 0},
    };
    for (const auto& row : rows) {
        Leg leg(true);
        auto flow = leg.receiving(false);
        row.script(leg, *flow);
        leg.poll();
        EXPECT_EQ(leg.failures(), expected(row.failure)) << row.name;
        const auto observation = leg.engine->finish();
        EXPECT_EQ(observation ? observation->unique : 0, row.unique) << row.name;
        EXPECT_EQ(observation ? observation->rejected : 0, row.rejected) << row.name;
        if (row.failure.empty()) {
            EXPECT_EQ(flow->receivesPending(), 64u) << row.name;
            EXPECT_EQ(leg.last<UDPTransfer::Ready>().path,
                      "UDP connection " + leg.binding.probe.text() +
                          "; selected eth7/7; 169.254.20.1:40000 \u2192 169.254.20.2:50000");
        }
    }
}

TEST(UdpTransferTest, ReceiverTicksAndCompletion) {
    Leg leg(true);
    auto flow = leg.receiving();
    for (std::uint32_t s = 0; s < 40; ++s) {
        flow->deliver(leg.datagram(1, s, 0.01 * s));
    }
    leg.poll();
    for (int i = 0; i < 1010; ++i) {
        leg.tick(0.001);
    }
    // At about 0.25, 0.5, 0.75 and 1.0 s.
    EXPECT_EQ(
        std::count_if(leg.events.begin(), leg.events.end(),
                      [](auto& e) { return std::holds_alternative<UDPTransfer::Progress>(e); }),
        4);
    EXPECT_EQ(leg.last<UDPTransfer::Progress>().count, 40);
    leg.tick(0.007);  // one late check marks the receiver as overrun
    UDPSendSummary summary;
    summary.attempted = summary.accepted = 40;
    leg.engine->acceptSenderSummary(summary, "sender path");
    leg.engine->acceptSenderSummary({}, "second");  // ignored
    leg.tick(0.49);
    EXPECT_FALSE(std::holds_alternative<UDPTransfer::Result>(leg.events.back()));
    leg.tick(0.02);
    const auto result = leg.last<UDPTransfer::Result>().observation;
    EXPECT_EQ(result.reason,
              "The receiving Mac limited the quality check: receive queue service was delayed.");
    EXPECT_EQ(result.timingReason,
              "Receive queue service was delayed; application timing is limited.");
    EXPECT_EQ(result.receiverOverruns, 1);
    EXPECT_EQ(result.senderPath, "sender path");
    EXPECT_EQ(result.send, summary);
    EXPECT_NO_THROW(result.validate());
    EXPECT_TRUE(flow->cancelled());
    // Nothing after the result.
    const auto count = leg.events.size();
    leg.tick(0.25);
    flow->deliver(leg.datagram(1, 41, 0.5));
    leg.poll();
    EXPECT_EQ(leg.events.size(), count);
}

// Datagrams the receiving socket's own full queue dropped are not the link's loss: the leg's
// unexplained holes leave them out, whether the hole is in the middle or at the tail, and
// whether the leg completes or is cut short after the sender's summary (the socket's count
// is taken again at the end, so a tail the queue dropped, with no datagram after it to be
// read before, is the queue's either way). A hole is the queue's only by the count each
// datagram was queued with, not by what the socket counted by the time it was read.
TEST(UdpTransferTest, HolesTheSocketsOwnQueueDroppedAreExplained) {
    struct Row {
        const char* name;
        // The socket's running count once 0 … 9 are read, once 13 … 39 are queued (before
        // they are read), and once all has arrived.
        std::uint64_t dropsAfterTen, dropsBeforeRead, dropsAtEnd;
        std::uint32_t sent;  // 0 … 9 and 13 … 39 arrive of 0 … sent − 1
        std::int64_t unexplained;
    } rows[] = {
        {"no drops: the holes are the link's", 0, 0, 0, 40, 3},
        {"the queue dropped the middle hole", 1, 1, 1, 40, 0},
        {"the queue dropped the middle hole and the tail", 1, 1, 2, 45, 0},
        {"only the middle hole was the queue's: the tail is the link's", 1, 1, 1, 45, 5},
        {"only the tail was the queue's", 0, 0, 1, 45, 3},
        {"dropped after the datagrams were queued, before they were read: the tail", 0, 1, 1, 45,
         3},
        // Entries the queue dropped in the middle hole never hide a tail the link lost.
        {"more entries than the middle hole: the tail is still the link's", 5, 5, 5, 45, 5},
    };
    for (const auto& row : rows) {
        for (bool cutShort : {false, true}) {
            SCOPED_TRACE(std::string(row.name) + (cutShort ? ", cut short" : ", completed"));
            Leg leg(true);
            auto flow = leg.receiving();
            for (std::uint32_t s = 0; s < 10; ++s) {
                flow->deliver(leg.datagram(1, s, 0.01 * s));
            }
            leg.poll();
            flow->setReceiveQueueDrops(row.dropsAfterTen);
            for (std::uint32_t s = 13; s < 40; ++s) {
                flow->deliver(leg.datagram(1, s, 0.01 * s));
            }
            flow->setReceiveQueueDrops(row.dropsBeforeRead);
            leg.poll();
            flow->setReceiveQueueDrops(row.dropsAtEnd);
            UDPSendSummary summary;
            summary.attempted = summary.accepted = row.sent;
            leg.engine->acceptSenderSummary(summary, "sender path");
            std::optional<UDPObservation> result;
            if (cutShort) {
                leg.engine->cancel();
                result = leg.engine->finish();
            } else {
                for (int i = 0; i < 60; ++i) {
                    leg.tick(0.01);
                }
                result = leg.last<UDPTransfer::Result>().observation;
            }
            ASSERT_TRUE(result);
            EXPECT_EQ(result->unexplainedHoles, row.unexplained);
            EXPECT_EQ(result->send.accepted - result->unique, row.sent - 37);
        }
    }
}

TEST(UdpTransferTest, ReceiveChecksCountFromWhenTheEngineTakesADatagramUp) {
    // The readiness datagram waits in the flow's backlog from `arrival` while the flow is
    // adopted and made ready; the engine takes it up at `handled`, then ticks every `tick`.
    const struct {
        const char* name;
        double arrival, handled, tick;
        std::int64_t overruns;
    } rows[] = {
        {"slow set-up before the receives are armed", 0.0, 0.012, 0.001, 0},
        {"prompt set-up", 0.0, 0.0, 0.001, 0},
        {"a tick 7 ms late is still an overrun", 0.0, 0.012, 0.007, 1},
    };
    for (const auto& row : rows) {
        Leg leg(true);
        auto listener = leg.listen();
        auto flow = leg.flowFrom(peer);
        flow->deliver(leg.datagram(0, 0, 0.0), leg.clock->instant(row.arrival));
        // Kernel stamps 0.1 s apart, taken up together: transit and span keep the stamps.
        flow->deliver(leg.datagram(1, 0, 0.0), leg.clock->instant(row.arrival + 0.1));
        flow->deliver(leg.datagram(1, 1, 0.0), leg.clock->instant(row.arrival + 0.2));
        listener->flow(flow);
        leg.poll();
        leg.clock->set(row.handled);
        leg.ready(*flow);
        for (int i = 0; i < 10; ++i) {
            leg.tick(row.tick);
        }
        const auto observation = leg.engine->finish();
        ASSERT_TRUE(observation && observation->receiveCoverage) << row.name;
        EXPECT_EQ(observation->receiverOverruns, row.overruns) << row.name;
        EXPECT_EQ(observation->receiveCoverage->first, row.handled) << row.name;
        EXPECT_NEAR(observation->receiveCoverage->maximumGap, row.tick, 1e-9) << row.name;
        EXPECT_NEAR(observation->arrivalSpan, 0.1, 1e-6) << row.name;
    }
}

// The checks come on time (their thread is prompt), but the receive path that serves the
// socket may still be held back: a probe datagram that waited in the socket longer than the
// checks' bound before the engine took it up marks the overrun all the same.
TEST(UdpTransferTest, ADatagramTakenUpLateIsAnOverrunThoughTheChecksCameOnTime) {
    const struct {
        const char* name;
        double waited;
        std::int64_t overruns;
    } rows[] = {
        {"taken up at once", 0.0005, 0},
        {"just within the bound", 0.0059, 0},
        {"just beyond the bound", 0.0065, 1},
        {"held back for 40 ms", 0.040, 1},
    };
    for (const auto& row : rows) {
        Leg leg(true);
        auto flow = leg.receiving();
        for (int i = 0; i < 50; ++i) {
            leg.tick(0.001);
        }
        const double now = leg.clock->now();
        flow->deliver(leg.datagram(1, 0, now - row.waited), leg.clock->instant(now - row.waited));
        flow->deliver(leg.datagram(1, 1, now), leg.clock->instant(now));
        leg.poll();
        for (int i = 0; i < 10; ++i) {
            leg.tick(0.001);
        }
        const auto observation = leg.engine->finish();
        ASSERT_TRUE(observation && observation->receiveCoverage) << row.name;
        EXPECT_EQ(observation->receiveCoverage->delayedChecks, 0) << row.name;
        EXPECT_EQ(observation->unique, 2) << row.name;
        EXPECT_EQ(observation->receiverOverruns, row.overruns) << row.name;
        EXPECT_EQ(observation->timingReason ==
                      "Receive queue service was delayed; application timing is limited.",
                  row.overruns > 0)
            << row.name;
    }
}

TEST(UdpTransferTest, CoverageStopsCountingAtItsBound) {
    Leg leg(true);
    leg.receiving();
    leg.timer()->fire(15'010);
    const auto coverage = leg.engine->finish()->receiveCoverage;
    EXPECT_EQ(coverage->checks, UDPReceiveCoverage::maximumChecks);
    EXPECT_NO_THROW(coverage->validate());
}

TEST(UdpTransferTest, SenderPacingAndSummary) {
    Leg leg(false, 1e9);  // 16 datagrams a tick
    EXPECT_NEAR(leg.engine->tickPeriod().count(), 204'800, 1);
    auto c = leg.sending();
    leg.tick();
    EXPECT_EQ(c->sends().size(), 2u);  // readiness, then the first slot
    // Without completions the pool of 128 runs dry.
    for (int i = 0; i < 20; ++i) {
        leg.clock->advance(0.0002048);
        leg.timer()->fire();
    }
    EXPECT_EQ(c->sends().size(), 2u + 128u);
    EXPECT_EQ(udp_datagram::parse(c->sends().back(), leg.binding.datagramPrefix()).sequence, 128u);
    leg.poll();  // completions return the buffers
    leg.engine->noteRemoteProgress(100);
    leg.tick(0.0003);
    EXPECT_EQ(c->sends().size(), 2u + 128u + 16u);
    // Duration reached: stop, and report once every send has completed.
    leg.tick(3.0);
    leg.tick(0.001);
    const auto sent = leg.last<UDPTransfer::Sent>();
    EXPECT_EQ(sent.summary.attempted, 145);
    EXPECT_EQ(sent.summary.accepted, 145);
    EXPECT_EQ(sent.summary.maximumInFlight, 128);
    EXPECT_GT(sent.summary.discardedSlots, 0);
    EXPECT_NO_THROW(sent.summary.validate());
    leg.tick(0.001);
    EXPECT_EQ(leg.events.size(), 1u);
}

TEST(UdpTransferTest, TimerWaitsExactlyOnlyWhileSendingAndWakesPromptlyOnlyOnTheReceiver) {
    // Exact waiting busies a CPU, so it is on from the release to the stop of sending only.
    // Prompt wake-ups keep the receiver's checks from waiting behind other threads; the
    // sender's actively waiting timer must not have them.
    Leg sender(false, 1e9);
    sender.engine->start(5000);
    auto c = sender.factory->udpConnections().at(0);
    sender.ready(*c);
    sender.tick(0.001);
    const std::pair<const char*, bool> steps[] = {
        {"connected, not yet released", false},
        {"released", true},
        {"sending", true},
        {"duration reached", false},
        {"completions awaited", false},
    };
    for (const auto& [name, exact] : steps) {
        if (std::string(name) == "released") {
            sender.engine->checkPath();
        } else if (std::string(name) == "duration reached") {
            sender.tick(3.0);
        } else if (std::string(name) != "connected, not yet released") {
            sender.engine->noteRemoteProgress(1 + sender.clock->now() * 1000);
            sender.tick(0.0002);
        }
        EXPECT_EQ(sender.timer()->exact(), exact) << name;
        EXPECT_FALSE(sender.timer()->prompt()) << name;
    }
    Leg receiver(true);
    receiver.engine->start(std::nullopt);
    EXPECT_TRUE(receiver.timer()->prompt()) << "from its first tick";
    receiver.receiving();
    receiver.tick(0.001);
    EXPECT_FALSE(receiver.timer()->exact());
    EXPECT_TRUE(receiver.timer()->prompt());
}

// A leg that reaches its attempt ceiling stops at once, capped, and its window holds every
// submission of the last batch, so the receiving side accepts the summary.
TEST(UdpTransferTest, CappedLegReportsAValidSummary) {
    Leg leg(false, 1e9, 40, true);  // 16 datagrams a tick, the clock moving while it sends
    auto c = leg.sending();
    for (int i = 0; i < 6; ++i) {
        leg.engine->noteRemoteProgress(i + 1);
        leg.tick(0.001);
    }
    const auto sent = leg.last<UDPTransfer::Sent>();
    EXPECT_EQ(leg.events.size(), 1u);
    EXPECT_TRUE(sent.summary.capped);
    EXPECT_EQ(sent.summary.attempted, 40);
    EXPECT_EQ(sent.summary.accepted, 40);
    EXPECT_EQ(c->sends().size(), 41u);  // the readiness datagram and 40 probes
    EXPECT_LT(sent.summary.seconds, 0.01);
    ASSERT_TRUE(sent.summary.lastSubmission && sent.summary.measurementEnd);
    EXPECT_LE(*sent.summary.lastSubmission, *sent.summary.measurementEnd);
    EXPECT_NO_THROW(sent.summary.validate());
    leg.tick(0.001);
    EXPECT_EQ(c->sends().size(), 41u);
}

TEST(UdpTransferTest, Watchdogs) {
    const struct {
        const char* name;
        bool receiving;
        Script script;
        std::string failure;
        bool safety;
    } rows[] = {
        {"no growing count for 2 s", false,
         [](Leg& l, FakeUdpConnection&) {
             l.tick(0.5), l.engine->noteRemoteProgress(5), l.tick(1.0);
             l.engine->noteRemoteProgress(5), l.tick(1.0);
         },
         "No progress reports from the receiving Mac for two seconds; probe stopped.", true},
        {"sends not completed 0.5 s after stopping", false,
         [](Leg& l, FakeUdpConnection&) {
             for (int i = 0; i < 7; ++i) {  // no polling: no completion arrives
                 l.engine->noteRemoteProgress(i + 1);
                 l.clock->advance(0.5), l.timer()->fire();
             }
         },
         "UDP local send completion timed out.", true},
        {"sender not done by the set-up allowance", false,
         [](Leg& l, FakeUdpConnection&) { l.tick(7.99), l.tick(0.01); },
         "Extra quality check setup/completion timed out.", true},
        {"receiver that never heard from its sender", true,
         [](Leg& l, FakeUdpConnection&) { l.tick(8.0); },
         "Extra quality check setup/completion timed out.", false},
        {"send errors only count", false,
         [](Leg& l, FakeUdpConnection& c) {
             c.setSendError(PlatformError{}), l.tick(0.001), l.tick(3.0), l.tick(0.001);
         },
         "", false},
    };
    for (const auto& row : rows) {
        Leg leg(row.receiving);
        auto c = row.receiving ? leg.receiving(false) : leg.sending();
        row.script(leg, *c);
        leg.poll();
        EXPECT_EQ(leg.failures(), expected(row.failure)) << row.name;
        if (row.failure.empty()) {
            const auto summary = leg.last<UDPTransfer::Sent>().summary;
            EXPECT_EQ(summary.failed, summary.attempted);
            EXPECT_EQ(summary.reason, "Local UDP send failure; loss percentage unavailable.");
        } else {
            EXPECT_EQ(leg.last<UDPTransfer::Failed>().safety, row.safety) << row.name;
            EXPECT_TRUE(c->cancelled() && leg.timer()->cancelled()) << row.name;
        }
    }
}

TEST(UdpTransferTest, InterruptedSenderStopsItsWindowWhenItEnds) {
    Leg leg(false);
    leg.sending();
    leg.tick(0.5);
    leg.engine->cancel();
    leg.engine->cancel();
    leg.clock->advance(20.0);
    const auto observation = leg.engine->finish();
    ASSERT_TRUE(observation);
    EXPECT_EQ(observation->send.seconds, 0.5);
    EXPECT_NO_THROW(observation->validate());
    EXPECT_TRUE(leg.events.empty());
}

// Send completions that came before the leg was cut short count in its observation, the
// failed ones apart, also when no tick took them up before the end.
TEST(UdpTransferTest, CompletionsBeforeAnEndCountWithFailuresApart) {
    Leg leg(false, 1e9);  // 16 datagrams a tick
    auto c = leg.sending();
    for (int i = 0; i < 3; ++i) {
        leg.tick(0.0002048);  // sends, then their completions
    }
    const auto good = static_cast<std::int64_t>(c->sends().size()) - 1;  // not the readiness
    c->setSendError(PlatformError::posix(ENOBUFS));
    for (int i = 0; i < 2; ++i) {
        leg.tick(0.0002048);
    }
    const auto all = static_cast<std::int64_t>(c->sends().size()) - 1;
    ASSERT_GT(all, good);
    leg.engine->cancel();
    const auto observation = leg.engine->finish();
    ASSERT_TRUE(observation);
    EXPECT_EQ(observation->send.attempted, all);
    EXPECT_EQ(observation->send.accepted, good);
    EXPECT_EQ(observation->send.failed, all - good);
    EXPECT_EQ(observation->send.reason, "Local UDP send failure; loss percentage unavailable.");
}

}  // namespace
}  // namespace sorvanta
