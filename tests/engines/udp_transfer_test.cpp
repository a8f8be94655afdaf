#include "engines/udp_transfer.h"

#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <functional>

#include "engines/udp_datagram.h"
#include "lab/fake_network.h"

namespace sorvanta {
namespace {

using testing::FakeNetworkFactory;
using testing::FakePreciseTimer;
using testing::FakeUdpConnection;
using Bytes = std::vector<std::uint8_t>;

const NetworkInterface wired{"eth7", 7, InterfaceType::wiredEthernet};
const auto peer = asio::ip::make_address("169.254.20.2");

NetworkPath pathTo(const asio::ip::address& host,
                   std::vector<NetworkInterface> interfaces = {wired}) {
    NetworkPath path;
    path.status = PathStatus::satisfied;
    path.unsatisfiedReason.reset();
    path.availableInterfaces = std::move(interfaces);
    path.localEndpoint = Endpoint{asio::ip::make_address("169.254.20.1"), 40000};
    path.remoteEndpoint = Endpoint{host, 50000};
    return path;
}

std::string reasonOf(const UDPTransfer::Event& event) {
    const auto* failed = std::get_if<UDPTransfer::Failed>(&event);
    return failed ? failed->reason : "";
}

// One engine on fakes and a hand-moved clock; handlers run when the test polls.
struct Leg {
    asio::io_context io;
    std::shared_ptr<FakeNetworkFactory> factory = std::make_shared<FakeNetworkFactory>();
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(0.0);
    std::vector<UDPTransfer::Event> events;
    UDPBinding binding{Uuid::random(), Uuid::random(), Uuid::random(), Uuid::random(), 0,
                       Bytes(32, 9)};
    std::shared_ptr<UDPTransfer> engine;

    explicit Leg(bool receiving, double capacity = 1e8) {
        engine = UDPTransfer::make(
            {binding, capacity, 3.0, receiving, wired, peer, io.get_executor(), factory,
             [this](UDPTransfer::Event e) { events.push_back(std::move(e)); }, clock});
    }
    void poll() {
        io.restart();
        io.poll();
    }
    std::shared_ptr<FakePreciseTimer> timer() { return factory->timers().at(0); }
    std::shared_ptr<FakeUdpConnection> connection() { return factory->udpConnections().at(0); }
    // Advances the clock and runs one tick.
    void tick(double seconds = 0) {
        clock->advance(seconds);
        timer()->fire();
        poll();
    }
    // A connection that reaches ready on the admitted path.
    std::shared_ptr<FakeUdpConnection> ready(std::shared_ptr<FakeUdpConnection> c,
                                             const asio::ip::address& host = peer) {
        c->setPath(pathTo(host));
        c->setState({TransportState::Kind::ready, {}});
        poll();
        return c;
    }
    Bytes datagram(std::uint8_t kind, std::uint32_t sequence, double time,
                   std::optional<UDPBinding> other = {}) const {
        Bytes bytes(udp_datagram::size, 0);
        udp_datagram::writeHeader(bytes, other.value_or(binding).datagramPrefix(), kind, sequence,
                                  time);
        return bytes;
    }
    std::vector<std::string> failures() const {
        std::vector<std::string> reasons;
        for (const auto& e : events) {
            if (!reasonOf(e).empty()) {
                reasons.push_back(reasonOf(e));
            }
        }
        return reasons;
    }
};

TEST(UdpTransferTest, MakingRefusesBadLegs) {
    Leg leg(false);
    const auto make = [&](UDPBinding b, double capacity, double duration) {
        UDPTransfer::make({b, capacity, duration, false, wired, peer, leg.io.get_executor(),
                           leg.factory, [](UDPTransfer::Event) {}, leg.clock});
    };
    auto badLeg = leg.binding;
    badLeg.leg = 2;
    EXPECT_THROW(make(badLeg, 1e9, 3.0), ProtocolFailure);
    EXPECT_THROW(make(leg.binding, 0, 3.0), ProtocolFailure);
    EXPECT_THROW(make(leg.binding, 1e9, 2.99), ProtocolFailure);
    EXPECT_THROW(make(leg.binding, 1e9, 6.01), ProtocolFailure);
    EXPECT_NO_THROW(make(leg.binding, 1e9, 6.0));
}

TEST(UdpTransferTest, SenderConnectionAndPath) {
    using Kind = TransportState::Kind;
    const TransportState waiting{Kind::waiting, {}};
    const auto other = asio::ip::make_address("169.254.20.9");
    struct Row {
        const char* name;
        std::optional<std::uint16_t> port;
        std::function<void(Leg&, FakeUdpConnection&)> script;
        std::string failure;
    } rows[] = {
        {"no port", std::nullopt, nullptr, "Could not prepare the extra quality check."},
        {"port 0", 0, nullptr, "Could not prepare the extra quality check."},
        {"waiting, failed, path and viability before ready are ignored", 5000,
         [&](Leg&, FakeUdpConnection& c) {
             c.setState(waiting), c.setState({Kind::failed, {}}), c.setPath(pathTo(other)),
                 c.setViability(false);
         },
         ""},
        {"ready on the admitted path", 5000,
         [](Leg& l, FakeUdpConnection& c) { l.ready(c.shared_from_this()); }, ""},
        {"ready to another host", 5000,
         [&](Leg& l, FakeUdpConnection& c) { l.ready(c.shared_from_this(), other); },
         "UDP path does not match the admitted Ethernet peer/interface."},
        {"ready over a second interface", 5000,
         [](Leg&, FakeUdpConnection& c) {
             c.setPath(pathTo(peer, {wired, {"eth8", 8, InterfaceType::wiredEthernet}}));
             c.setState({Kind::ready, {}});
         },
         "UDP path does not match the admitted Ethernet peer/interface."},
        {"a second ready", 5000,
         [](Leg& l, FakeUdpConnection& c) {
             l.ready(c.shared_from_this()), c.setState({Kind::ready, {}});
         },
         "UDP path does not match the admitted Ethernet peer/interface."},
        {"waiting after ready", 5000,
         [&](Leg& l, FakeUdpConnection& c) { l.ready(c.shared_from_this()), c.setState(waiting); },
         "UDP connection interrupted."},
        {"path lost after ready", 5000,
         [](Leg& l, FakeUdpConnection& c) {
             l.ready(c.shared_from_this()), c.setPath(NetworkPath{});
         },
         "Selected UDP Ethernet path lost."},
        {"viability lost after ready", 5000,
         [](Leg& l, FakeUdpConnection& c) { l.ready(c.shared_from_this()), c.setViability(false); },
         "UDP path no longer viable."},
        {"readiness send fails", 5000,
         [](Leg& l, FakeUdpConnection& c) {
             c.setSendError(PlatformError{}), l.ready(c.shared_from_this());
         },
         "UDP readiness send failed."},
    };
    for (const auto& row : rows) {
        Leg leg(false);
        leg.engine->start(row.port);
        leg.engine->start(row.port);  // a second start makes nothing more
        leg.poll();
        if (row.script) {
            auto c = leg.connection();
            EXPECT_EQ(c->endpoint(), (Endpoint{peer, 5000})) << row.name;
            EXPECT_EQ(c->parameters().requiredInterface, wired) << row.name;
            row.script(leg, *c);
            leg.poll();
        }
        EXPECT_EQ(leg.factory->timers().size(), 1u) << row.name;
        EXPECT_EQ(leg.factory->udpConnections().size(), row.script ? 1u : 0u) << row.name;
        EXPECT_EQ(leg.failures(), row.failure.empty() ? std::vector<std::string>{}
                                                      : std::vector<std::string>{row.failure})
            << row.name;
        EXPECT_EQ(leg.events.size(), leg.failures().size()) << row.name;
    }
}

TEST(UdpTransferTest, ReadinessDatagramLayout) {
    Leg leg(false);
    leg.clock->set(1.25);
    leg.engine->start(5000);
    leg.poll();
    const auto c = leg.ready(leg.connection());
    ASSERT_EQ(c->sends().size(), 1u);
    EXPECT_EQ(udp_datagram::parse(c->sends()[0], leg.binding.datagramPrefix()),
              (udp_datagram::Parsed{0, false, 1.25}));
}

// A receiver listening, with its listener ready.
std::shared_ptr<testing::FakeUdpListener> listen(Leg& leg) {
    leg.engine->start(std::nullopt);
    auto listener = leg.factory->udpListeners().at(0);
    listener->setState({ListenerState::Kind::ready, {}, 6123});
    leg.poll();
    return listener;
}

std::shared_ptr<FakeUdpConnection> flowFrom(Leg& leg, const asio::ip::address& host) {
    return std::make_shared<FakeUdpConnection>(leg.io.get_executor(), Endpoint{host, 40000},
                                               NetworkParameters{});
}

TEST(UdpTransferTest, ReceiverCandidates) {
    Leg leg(true);
    auto listener = listen(leg);
    EXPECT_EQ(listener->requestedPort(), 0);
    ASSERT_EQ(leg.events.size(), 1u);
    EXPECT_EQ(std::get<UDPTransfer::Listening>(leg.events[0]).port, 6123);

    // Flows from another host are refused and the listener stays; the peer's is adopted.
    const auto stranger = asio::ip::make_address("169.254.30.3");
    for (int i = 0; i < 7; ++i) {
        auto flow = flowFrom(leg, stranger);
        listener->flow(flow);
        leg.poll();
        EXPECT_TRUE(flow->cancelled());
    }
    EXPECT_FALSE(listener->cancelled());
    auto flow = flowFrom(leg, peer);
    listener->flow(flow);
    leg.poll();
    EXPECT_TRUE(flow->started());
    EXPECT_TRUE(listener->cancelled());
    leg.ready(flow);
    EXPECT_EQ(flow->receivesPending(), 64u);
    EXPECT_EQ(leg.events.size(), 1u);

    // The eighth refused candidate ends the leg.
    Leg crowded(true);
    auto open = listen(crowded);
    for (int i = 0; i < 9; ++i) {
        open->flow(flowFrom(crowded, stranger));
        crowded.poll();
    }
    EXPECT_EQ(crowded.failures(), std::vector<std::string>{"Too many UDP candidates."});
    EXPECT_FALSE(std::get<UDPTransfer::Failed>(crowded.events.back()).safety);
}

TEST(UdpTransferTest, ReceivedDatagrams) {
    struct Row {
        const char* name;
        std::function<void(Leg&, FakeUdpConnection&)> script;
        std::string failure;
        std::int64_t unique, rejected;
    };
    auto stranger = [](const Leg& l) {
        auto b = l.binding;
        b.token[31] ^= 1;
        return b;
    };
    const Row rows[] = {
        {"readiness, then probes and repeats",
         [](Leg& l, FakeUdpConnection& c) {
             c.deliver(l.datagram(0, 0, 0.1)), c.deliver(l.datagram(0, 0, 0.1)),
                 c.deliver(l.datagram(1, 0, 0.2)), c.deliver(l.datagram(1, 1, 0.3)),
                 c.deliver(l.datagram(1, 1, 0.3));
         },
         "", 2, 0},
        {"a probe first", [](Leg& l, FakeUdpConnection& c) { c.deliver(l.datagram(1, 0, 0.1)); },
         "UDP readiness identity did not match.", 0, 0},
        {"another token first",
         [&](Leg& l, FakeUdpConnection& c) { c.deliver(l.datagram(0, 0, 0.1, stranger(l))); },
         "UDP readiness identity did not match.", 0, 0},
        {"an empty datagram first", [](Leg&, FakeUdpConnection& c) { c.deliver({}); },
         "UDP readiness identity did not match.", 0, 0},
        {"strangers after readiness only count",
         [&](Leg& l, FakeUdpConnection& c) {
             auto run = l.binding;
             run.run = Uuid::random();
             c.deliver(l.datagram(0, 0, 0.1)), c.deliver(l.datagram(1, 0, 0.2, stranger(l))),
                 c.deliver(l.datagram(1, 1, 0.2, run)), c.deliver({}),
                 c.deliver(l.datagram(1, 0, 0.2));
         },
         "", 1, 3},
        {"a receive error", [](Leg&, FakeUdpConnection& c) { c.failReceive(PlatformError{}); },
         "UDP receiver cannot continue.", 0, 0},
    };
    for (const auto& row : rows) {
        Leg leg(true);
        auto listener = listen(leg);
        auto flow = flowFrom(leg, peer);
        listener->flow(flow);
        leg.poll();
        leg.ready(flow);
        row.script(leg, *flow);
        leg.poll();
        EXPECT_EQ(leg.failures(), row.failure.empty() ? std::vector<std::string>{}
                                                      : std::vector<std::string>{row.failure})
            << row.name;
        const auto observation = leg.engine->finish();
        EXPECT_EQ(observation ? observation->unique : 0, row.unique) << row.name;
        EXPECT_EQ(observation ? observation->rejected : 0, row.rejected) << row.name;
        if (row.failure.empty()) {
            EXPECT_EQ(flow->receivesPending(), 64u) << row.name;
            ASSERT_EQ(leg.events.size(), 2u) << row.name;
            EXPECT_EQ(std::get<UDPTransfer::Ready>(leg.events[1]).path,
                      "UDP connection " + leg.binding.probe.text() +
                          "; selected eth7/7; 169.254.20.1:40000 \u2192 169.254.20.2:50000")
                << row.name;
        }
    }
}

// A receiver that got the readiness datagram at time 0.
std::shared_ptr<FakeUdpConnection> receiving(Leg& leg) {
    auto listener = listen(leg);
    auto flow = flowFrom(leg, peer);
    listener->flow(flow);
    leg.poll();
    leg.ready(flow);
    flow->deliver(leg.datagram(0, 0, 0.0));
    leg.poll();
    return flow;
}

TEST(UdpTransferTest, ReceiverTicksAndCompletion) {
    Leg leg(true);
    auto flow = receiving(leg);
    for (std::uint32_t s = 0; s < 40; ++s) {
        flow->deliver(leg.datagram(1, s, 0.01 * s));
    }
    leg.poll();
    std::size_t progress = 0;
    for (int i = 0; i < 1010; ++i) {
        leg.tick(0.001);
    }
    for (const auto& e : leg.events) {
        progress += std::holds_alternative<UDPTransfer::Progress>(e);
    }
    EXPECT_EQ(progress, 4u);  // at about 0.25, 0.5, 0.75 and 1.0 s
    EXPECT_EQ(std::get<UDPTransfer::Progress>(leg.events.back()).count, 40);
    // One late check marks the receiver as overrun, once.
    leg.tick(0.007);
    UDPSendSummary summary;
    summary.attempted = summary.accepted = 40;
    leg.engine->acceptSenderSummary(summary, "sender path");
    leg.engine->acceptSenderSummary({}, "second");  // ignored
    leg.tick(0.49);
    EXPECT_FALSE(std::holds_alternative<UDPTransfer::Result>(leg.events.back()));
    leg.tick(0.02);
    const auto result = std::get<UDPTransfer::Result>(leg.events.back()).observation;
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

// A sender released by checkPath() at time 0.
std::shared_ptr<FakeUdpConnection> sending(Leg& leg) {
    leg.engine->start(5000);
    leg.poll();
    auto c = leg.ready(leg.connection());
    leg.engine->checkPath();
    return c;
}

TEST(UdpTransferTest, SenderPacingAndSummary) {
    Leg leg(false, 1e9);  // 16 datagrams a tick
    EXPECT_NEAR(leg.engine->tickPeriod().count(), 204'800, 1);
    auto c = sending(leg);
    leg.tick();
    EXPECT_EQ(c->sends().size(), 2u);  // readiness, then the first slot
    // Without completions the pool of 128 runs dry.
    for (int i = 0; i < 20; ++i) {
        leg.clock->advance(0.0002048);
        leg.timer()->fire();
    }
    EXPECT_EQ(c->sends().size(), 2u + 128u);
    const auto probe = udp_datagram::parse(c->sends().back(), leg.binding.datagramPrefix());
    EXPECT_EQ(probe.sequence, 128u);
    EXPECT_TRUE(probe.probe);
    leg.poll();  // completions return the buffers
    leg.engine->noteRemoteProgress(100);
    leg.tick(0.0003);
    EXPECT_EQ(c->sends().size(), 2u + 128u + 16u);
    // Duration reached: stop, and report once every send has completed.
    leg.tick(3.0);
    leg.tick(0.001);
    const auto sent = std::get<UDPTransfer::Sent>(leg.events.back());
    EXPECT_EQ(sent.summary.attempted, 145);
    EXPECT_EQ(sent.summary.accepted, 145);
    EXPECT_EQ(sent.summary.maximumInFlight, 128);
    EXPECT_GT(sent.summary.discardedSlots, 0);
    EXPECT_NO_THROW(sent.summary.validate());
    leg.tick(0.001);
    EXPECT_EQ(leg.events.size(), 1u);
}

TEST(UdpTransferTest, SenderWatchdogs) {
    struct Row {
        const char* name;
        std::function<void(Leg&, FakeUdpConnection&)> script;
        std::string failure;
        bool safety;
    } rows[] = {
        {"no progress for 2 s",
         [](Leg& l, FakeUdpConnection&) {
             l.tick(0.5), l.engine->noteRemoteProgress(5), l.tick(1.0),
                 l.engine->noteRemoteProgress(5), l.tick(1.0);
         },
         "No progress reports from the receiving Mac for two seconds; probe stopped.", true},
        {"sends not completed 0.5 s after stopping",
         [](Leg& l, FakeUdpConnection&) {
             for (int i = 0; i < 6; ++i) {
                 l.engine->noteRemoteProgress(i + 1);
                 l.clock->advance(0.5), l.timer()->fire();
             }
             l.clock->advance(0.5), l.timer()->fire();
         },
         "UDP local send completion timed out.", true},
        {"set-up never finished", [](Leg& l, FakeUdpConnection&) { l.tick(7.99), l.tick(0.01); },
         "Extra quality check setup/completion timed out.", true},
        {"send errors only count",
         [](Leg& l, FakeUdpConnection& c) {
             c.setSendError(PlatformError{}), l.tick(0.001), l.tick(3.0), l.tick(0.001);
         },
         "", false},
    };
    for (const auto& row : rows) {
        Leg leg(false);
        auto c = sending(leg);
        row.script(leg, *c);
        leg.poll();
        if (row.failure.empty()) {
            const auto sent = std::get<UDPTransfer::Sent>(leg.events.back());
            EXPECT_EQ(sent.summary.failed, sent.summary.attempted) << row.name;
            EXPECT_EQ(sent.summary.reason, "Local UDP send failure; loss percentage unavailable.");
            continue;
        }
        ASSERT_EQ(leg.failures(), std::vector<std::string>{row.failure}) << row.name;
        EXPECT_EQ(std::get<UDPTransfer::Failed>(leg.events.back()).safety, row.safety) << row.name;
        EXPECT_TRUE(c->cancelled()) << row.name;
        EXPECT_TRUE(leg.timer()->cancelled()) << row.name;
    }
    // A receiver that never heard from its sender times out without ending the run.
    Leg quiet(true);
    listen(quiet);
    quiet.tick(8.0);
    EXPECT_EQ(quiet.failures(),
              std::vector<std::string>{"Extra quality check setup/completion timed out."});
    EXPECT_FALSE(std::get<UDPTransfer::Failed>(quiet.events.back()).safety);
}

TEST(UdpTransferTest, InterruptedSenderStopsItsWindowWhenItEnds) {
    Leg leg(false);
    sending(leg);
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

}  // namespace
}  // namespace sorvanta
