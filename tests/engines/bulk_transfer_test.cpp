#include "engines/bulk_transfer.h"

#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <cerrno>

#include "lab/fake_network.h"
#include "lab/fake_scheduler.h"

namespace sorvanta {
namespace {

using testing::FakeNetworkFactory;
using testing::FakeScheduler;
using testing::FakeTcpConnection;
using Bytes = std::vector<std::uint8_t>;
using Kind = TransportState::Kind;

// A short text per event, for comparing whole event sequences.
std::string describe(const BulkTransfer::Event& event) {
    using E = BulkTransferEvent;
    static const char* names[] = {"listening", "waiting", "prepFailed", "progress",      "result",
                                  "path",      "failed",  "verified",   "receiverReady", "warmed"};
    auto issue = [](SetupIssue i) { return json::EnumNames<SetupIssue>::names[int(i)]; };
    std::string text = names[event.index()];
    if (const auto* e = std::get_if<E::Listening>(&event)) {
        text += " " + std::to_string(e->port);
    } else if (const auto* e = std::get_if<E::PreparationWaiting>(&event)) {
        text += " " + std::string(issue(e->issue));
    } else if (const auto* e = std::get_if<E::PreparationFailed>(&event)) {
        text += " " + std::string(issue(e->issue));
    } else if (const auto* e = std::get_if<E::Result>(&event)) {
        text += " " + std::to_string(e->sample.intervals.size());
    } else if (const auto* e = std::get_if<E::Path>(&event)) {
        text = e->text.substr(0, e->text.find(':'));  // "Data path" or "Data setup (…)"
    } else if (const auto* e = std::get_if<E::Failed>(&event)) {
        text += " " + e->message;
    }
    return text;
}

struct Rig {
    enum Role { checkReceiver, checkSender, stageReceiver, stageSender };

    explicit Rig(Role role) {
        BulkTransfer::Settings s;
        s.interface = pinned;
        s.peerHost = peer;
        s.receiving = role == checkReceiver || role == stageReceiver;
        s.verificationOnly = role == checkReceiver || role == checkSender;
        s.barrierControlled = !s.verificationOnly;
        s.preamble = {Uuid::random(), Uuid::random(), Uuid::random(), Bytes(32, 9),
                      std::uint8_t(s.verificationOnly ? 255 : 1)};
        preamble = s.preamble;
        engine = BulkTransfer::create(
            io.get_executor(), factory, scheduler, s,
            [this](const BulkTransfer::Event& e) { events.push_back(describe(e)); });
    }
    ~Rig() {
        engine->shutdown();
        settle();
    }

    // Runs what is ready, bounded: a sender refills its sends forever.
    void settle(int limit = 200) {
        io.restart();
        for (int i = 0; i < limit && io.poll_one() > 0; ++i) {
        }
    }
    // Moves time on in ticks, settling after each.
    void advance(double seconds) {
        for (double t = 0; t < seconds - 1e-9; t += 0.25) {
            scheduler.advance(0.25);
            settle();
        }
    }

    std::shared_ptr<FakeTcpConnection> connection() {
        if (!factory.tcpConnections().empty()) {
            return factory.tcpConnections().back();
        }
        return accepted;
    }
    // Starts and brings the one connection to ready on the right path.
    void connect(std::uint16_t port = 4000) {
        engine->start(engine->receiving() ? std::nullopt : std::optional(port));
        settle();
        if (engine->receiving()) {
            factory.tcpListeners().at(0)->setState({ListenerState::Kind::ready, {}, port});
            accepted = std::make_shared<FakeTcpConnection>(io.get_executor(), Endpoint{peer, 50000},
                                                           NetworkParameters::tcp());
            factory.tcpListeners().at(0)->accept(accepted);
            settle();
        }
        connection()->setPath(path());
        connection()->setState({Kind::ready, {}});
        settle();
    }
    static NetworkPath path(int index = pinned.index) {
        NetworkPath p;
        p.status = PathStatus::satisfied;
        p.unsatisfiedReason.reset();
        p.availableInterfaces = {{pinned.name, index, InterfaceType::wiredEthernet}};
        p.localEndpoint = Endpoint{asio::ip::make_address("169.254.0.1"), 4000};
        p.remoteEndpoint = Endpoint{peer, 4000};
        return p;
    }
    void deliver(const Bytes& bytes, bool complete = false) {
        connection()->deliver(bytes, complete);
        settle();
    }
    Bytes encodedPreamble() const { return preamble.encoded(); }

    static inline const NetworkInterface pinned{"veth9", 7, InterfaceType::wiredEthernet};
    static inline const asio::ip::address peer = asio::ip::make_address("169.254.0.2");
    asio::io_context io;
    FakeNetworkFactory factory;
    FakeScheduler scheduler;
    SpeedPreamble preamble;
    std::shared_ptr<FakeTcpConnection> accepted;
    std::vector<std::string> events;
    std::shared_ptr<BulkTransfer> engine;
};

Bytes slice(const Bytes& b, std::size_t from, std::size_t to) {
    return Bytes(b.begin() + from, b.begin() + to);
}

TEST(BulkTransferTest, DispatcherScenarios) {
    using R = Rig;
    const auto refused = PlatformError::posix(ECONNREFUSED);
    struct Row {
        const char* name;
        Rig::Role role;
        std::function<void(Rig&)> script;
        std::vector<std::string> events;
    } rows[] = {
        {"sender without a port never dials",
         R::stageSender,
         [](Rig& r) {
             r.engine->start(std::nullopt);
             r.engine->start(5);  // a second start does nothing
             EXPECT_TRUE(r.factory.tcpConnections().empty());
         },
         {"failed Could not prepare the data connection: malformed"}},
        {"check sender verifies on a reply in two chunks",
         R::checkSender,
         [](Rig& r) {
             r.connect();
             EXPECT_EQ(r.connection()->sends().at(0), r.encodedPreamble());
             r.deliver(slice(r.encodedPreamble(), 0, 40));
             r.deliver(slice(r.encodedPreamble(), 40, 87));
         },
         {"Data path", "verified"}},
        {"check receiver replies, then verifies once the reply is sent",
         R::checkReceiver,
         [](Rig& r) {
             r.connect();
             r.deliver(slice(r.encodedPreamble(), 0, 40));
             EXPECT_TRUE(r.connection()->sends().empty());
             r.deliver(slice(r.encodedPreamble(), 40, 87));
             EXPECT_EQ(r.connection()->sends().at(0), r.encodedPreamble());
         },
         {"listening 4000", "Data path", "verified"}},
        {"check receiver refuses bytes beyond the preamble",
         R::checkReceiver,
         [](Rig& r) {
             r.connect();
             r.deliver(slice(r.encodedPreamble(), 0, 40));
             auto rest = slice(r.encodedPreamble(), 40, 87);
             rest.resize(87, 0);
             r.deliver(rest);
         },
         {"listening 4000", "Data path", "failed Preparation peer/session/token did not match."}},
        {"only the first inbound connection is adopted",
         R::checkReceiver,
         [](Rig& r) {
             r.engine->start();
             r.settle();
             auto listener = r.factory.tcpListeners().at(0);
             auto make = [&] {
                 return std::make_shared<FakeTcpConnection>(
                     r.io.get_executor(), Endpoint{Rig::peer, 1}, NetworkParameters::tcp());
             };
             r.accepted = make();
             auto second = make();
             listener->accept(r.accepted);
             listener->accept(second);
             r.settle();
             EXPECT_TRUE(r.accepted->started());
             EXPECT_TRUE(second->cancelled());
             EXPECT_TRUE(listener->cancelled());
         },
         {}},
        {"check waits, then fails refused",
         R::checkSender,
         [&](Rig& r) {
             r.engine->start(4000);
             r.settle();
             r.connection()->setState(TransportState::waiting(refused));
             r.connection()->setPath(Rig::path());  // before ready: ignored
             r.connection()->setState(TransportState::failed(refused));
             r.settle();
         },
         {"waiting refused", "Data setup (not verified)", "Data setup (not verified)",
          "prepFailed refused", "failed Data connection failed: " + refused.text()}},
        {"path change after ready",
         R::checkSender,
         [](Rig& r) {
             r.connect();
             r.connection()->setPath(Rig::path(8));
             r.settle();
         },
         {"Data path", "prepFailed connection", "failed Selected Ethernet data path lost."}},
        {"wrong path at ready",
         R::stageSender,
         [](Rig& r) {
             r.engine->start(4000);
             r.settle();
             r.connection()->setPath(Rig::path(8));
             r.connection()->setState({Kind::ready, {}});
             r.settle();
         },
         {"failed Data path does not match the selected Ethernet peer/interface."}},
        {"viability lost after ready",
         R::stageReceiver,
         [](Rig& r) {
             r.connect();
             r.connection()->setViability(false);
             r.settle();
         },
         {"listening 4000", "Data path", "failed Ethernet data connection no longer viable."}},
        {"stage sender receiving a byte",
         R::stageSender,
         [](Rig& r) {
             r.connect();
             r.deliver({1});
         },
         {"Data path", "failed Invalid data preamble or payload ordering."}},
        {"metering receiver ends early with a last sample",
         R::stageReceiver,
         [](Rig& r) {
             r.connect();
             r.deliver(r.encodedPreamble());
             r.engine->startTransfer();
             r.settle();
             r.deliver(Bytes(1000, 1), true);
         },
         {"listening 4000", "Data path", "receiverReady", "progress",
          "failed Data stream ended before result exchange."}},
        {"preamble deadline",
         R::stageReceiver,
         [](Rig& r) {
             r.connect();
             r.deliver(slice(r.encodedPreamble(), 0, 10));
             r.advance(3.0);
         },
         {"listening 4000", "Data path", "failed Data preamble timed out."}},
        {"preparation deadline names the wait",
         R::checkSender,
         [&](Rig& r) {
             r.engine->start(4000);
             r.settle();
             r.connection()->setState(TransportState::waiting(refused));
             r.advance(10.0);
         },
         {"waiting refused", "Data setup (not verified)", "prepFailed timeout",
          "failed Data preparation timed out. Waiting: " + refused.text()}},
        {"callback overflow",
         R::checkSender,
         [](Rig& r) {
             r.connect();
             for (int i = 0; i < 40; ++i) {
                 r.connection()->setViability(true);
             }
             r.settle(500);
         },
         {"Data path", "failed Bulk callback capacity exceeded."}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Rig rig(row.role);
        row.script(rig);
        rig.settle();
        EXPECT_EQ(rig.events, row.events);
        // Later failures are silent.
        rig.engine->fail("again", RunEndCause::tester);
        if (!row.events.empty() && row.events.back().starts_with("failed")) {
            EXPECT_EQ(rig.events, row.events);
        }
    }
}

// A full stage on the fakes: the receiver warms, measures from the barrier and reports its
// result; the sender keeps four sends in flight and reports counters and slices.
TEST(BulkTransferTest, StageRunsAndReportsInOrder) {
    Rig receiver(Rig::stageReceiver);
    receiver.connect();
    receiver.deliver(receiver.encodedPreamble());
    receiver.engine->startTransfer();
    receiver.settle();
    Rig sender(Rig::stageSender);
    auto counters = [&](std::uint64_t sent) {
        TransferCounters c;
        c.sentBytes = sent;
        c.retransmittedBytes = sent / 100;
        c.smoothedRtt = 0.001;
        sender.connection()->setTransferCounters(c);
    };
    sender.engine->start(4000);
    sender.settle();
    counters(0);
    sender.connect();
    sender.engine->startTransfer();
    sender.settle(50);
    // The preamble, then payload sends, each the same shared buffer.
    const auto sends = sender.connection()->sends();
    ASSERT_GE(sends.size(), 5u);
    EXPECT_EQ(sends[1].size(), payloadSize);

    for (int tick = 1; tick <= 50; ++tick) {
        receiver.deliver(Bytes(1000, 1));
        receiver.scheduler.advance(0.25);
        receiver.settle();
        if (tick == 8) {
            EXPECT_TRUE(receiver.engine->applyMeasurementBarrier());
            sender.engine->beginMeasurementWindow();
        }
        counters(tick * 100'000ull);
        sender.scheduler.advance(0.25);
        sender.settle(20);
    }
    const auto& e = receiver.events;
    ASSERT_GE(e.size(), 5u);
    EXPECT_EQ(std::count(e.begin(), e.end(), "warmed"), 1);
    EXPECT_NE(std::find(e.begin(), e.end(), "result 10"), e.end());
    EXPECT_FALSE(receiver.engine->ended());

    std::optional<TCPObservation> report;
    bool done = false;
    sender.engine->collectReport([&](std::optional<TCPObservation> r) {
        report = std::move(r);
        done = true;
    });
    EXPECT_FALSE(done);  // never inside the call
    sender.settle(50);
    ASSERT_TRUE(done && report);
    EXPECT_FALSE(report->reason) << *report->reason;
    EXPECT_EQ(report->sent, 5'000'000u);
    EXPECT_EQ(report->retransmitted, 50'000u);
    EXPECT_EQ(report->smoothedRTT, 0.001);
    ASSERT_TRUE(report->window);
    EXPECT_GE(report->slices.size(), 10u);
    for (std::size_t i = 1; i < report->slices.size(); ++i) {
        const double gap = report->slices[i].start - report->slices[i - 1].start;
        EXPECT_TRUE(gap >= 1.0 && gap <= 1.25) << gap;
    }
    // Only the first collection collects; a receiver has none.
    int nones = 0;
    sender.engine->collectReport([&](auto r) { nones += !r; });
    receiver.engine->collectReport([&](auto r) { nones += !r; });
    sender.settle();
    receiver.settle();
    EXPECT_EQ(nones, 2);
}

TEST(BulkTransferTest, ReportCollectionEndsWithAReasonWhenItCannotComplete) {
    struct Row {
        const char* name;
        std::function<void(Rig&)> before;  // after connecting and starting the transfer
        std::function<void(Rig&)> during;  // while the collection waits
        std::string reason;
    } rows[] = {
        {"ended before collection", [](Rig& r) { r.engine->shutdown(); }, nullptr,
         TcpSenderReport::endedBeforeCollection},
        {"shut down while waiting", nullptr, [](Rig& r) { r.engine->shutdown(); },
         TcpSenderReport::collectionCancelled},
        {"no counters: unusable", nullptr, nullptr, TcpSenderReport::unusable},
        {"report later than 2 s", nullptr, [](Rig& r) { r.scheduler.advance(2.0); },
         TcpSenderReport::timedOut},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Rig rig(Rig::stageSender);
        rig.connect();
        rig.engine->startTransfer();
        rig.settle(20);
        if (row.before) {
            row.before(rig);
        }
        std::optional<TCPObservation> report;
        rig.engine->collectReport([&](auto r) { report = std::move(r); });
        if (row.during) {
            row.during(rig);
        }
        rig.settle(50);
        ASSERT_TRUE(report);
        EXPECT_EQ(report->reason, row.reason);
        EXPECT_EQ(report->interface, Rig::pinned.name);
        EXPECT_EQ(report->stage, 1);
    }
}

}  // namespace
}  // namespace sorvanta
