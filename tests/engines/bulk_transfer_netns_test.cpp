// The TCP data engine on real sockets across a veth pair between two namespaces.

#include <gtest/gtest.h>

#include <asio/steady_timer.hpp>
#include <cmath>
#include <cstdio>
#include <deque>
#include <thread>

#include "engines/bulk_transfer.h"
#include "lab/event_recorder.h"
#include "lab/veth_sides.h"
#include "platform/net/asio_scheduler.h"
#include "platform/net/wired_path.h"
#include "platform/system_network_factory.h"

namespace sorvanta {
namespace {

using testing::EventRecorder;
using testing::NetnsThread;
using testing::shell;
using Event = BulkTransfer::Event;
using E = BulkTransferEvent;
using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

SpeedPreamble newPreamble(std::uint8_t stage) {
    return {Uuid::random(), Uuid::random(), Uuid::random(), Bytes(32, stage), stage};
}

struct Engine {
    NetnsThread* side = nullptr;
    std::shared_ptr<BulkTransfer> engine;
    EventRecorder<Event> events;

    template <class T>
    bool waitFor(std::chrono::milliseconds timeout = 10s) {
        return events.waitFor(
            [](const std::vector<Event>& v) {
                return std::any_of(v.begin(), v.end(),
                                   [](const Event& e) { return std::holds_alternative<T>(e); });
            },
            timeout);
    }
    template <class T>
    std::optional<T> first() const {
        for (const auto& e : events.values()) {
            if (const auto* value = std::get_if<T>(&e)) {
                return *value;
            }
        }
        return std::nullopt;
    }
    template <class F>
    auto on(F f) {
        return side->call([&] { return f(*engine); });
    }
};

// A plain TCP peer that dials an engine and sends what the test says.
struct Raw {
    NetnsThread* side = nullptr;
    std::shared_ptr<TcpConnection> connection;
    EventRecorder<TransportState> states;

    void send(Bytes bytes) {
        side->call([&] {
            connection->send(std::move(bytes), [](auto) {});
            return 0;
        });
    }
};

class BulkOverVeth : public testing::VethSides {
  protected:
    void SetUp() override {
        VethSides::SetUp();
        if (pair) {
            schedulerA = std::make_unique<AsioScheduler>(a->executor());
            schedulerB = std::make_unique<AsioScheduler>(b->executor());
        }
    }
    void release() override {
        engines.clear();
        raws.clear();
        a->call([&] { return schedulerA.reset(), 0; });
        b->call([&] { return schedulerB.reset(), 0; });
    }

    Engine& make(NetnsThread& side, bool receiving, bool check, const SpeedPreamble& preamble,
                 double warmup = 2.0, double measurement = 10.0) {
        const bool onA = &side == a.get();
        BulkTransfer::Settings s;
        s.interface = onA ? ifA : ifB;
        s.peerHost = asio::ip::make_address(onA ? pair->ipv4B : pair->ipv4A);
        s.receiving = receiving;
        s.preamble = preamble;
        s.verificationOnly = check;
        s.barrierControlled = !check;
        s.warmup = warmup;
        s.measurement = measurement;
        auto& e = *engines.emplace_back(std::make_unique<Engine>());
        e.side = &side;
        e.engine = side.call([&] {
            return BulkTransfer::create(side.executor(), factory, onA ? *schedulerA : *schedulerB,
                                        s, [&e](const Event& event) { e.events.push(event); });
        });
        atTearDown(side, [engine = e.engine] { engine->shutdown(); });
        return e;
    }

    // Makes a listening engine on `side` and returns it once it reports its port.
    Engine& listen(NetnsThread& side, bool check, const SpeedPreamble& preamble,
                   double warmup = 2.0, double measurement = 10.0) {
        auto& e = make(side, true, check, preamble, warmup, measurement);
        e.on([](BulkTransfer& t) { return t.start(), 0; });
        EXPECT_TRUE(e.waitFor<E::Listening>());
        return e;
    }
    std::uint16_t portOf(const Engine& e) {
        return e.first<E::Listening>().value_or(E::Listening{}).port;
    }

    // A raw connection from A to the engine listening on B, ready.
    Raw& dialB(std::uint16_t port) {
        auto& r = *raws.emplace_back(std::make_unique<Raw>());
        r.side = a.get();
        r.connection = a->call([&] {
            auto c = factory.makeTcpConnection(a->executor(),
                                               {asio::ip::make_address(pair->ipv4B), port},
                                               makeWiredParameters(ifA));
            c->setStateHandler([&r](const TransportState& s) { r.states.push(s); });
            c->start();
            return c;
        });
        atTearDown(*a, [c = r.connection] { c->cancel(); });
        EXPECT_TRUE(r.states.waitFor(
            [](auto& v) { return !v.empty() && v.back().kind == TransportState::Kind::ready; }));
        return r;
    }

    // Runs stage directions to their results, as the sequencer would, in lockstep.
    struct Direction {
        Engine* receiver;
        Engine* sender;
    };
    std::vector<Direction> runStages(const std::vector<bool>& fromA, double warmup,
                                     double measurement) {
        std::vector<Direction> directions;
        for (bool forward : fromA) {
            const auto p = newPreamble(static_cast<std::uint8_t>(directions.size()));
            auto& receiver = listen(forward ? *b : *a, false, p, warmup, measurement);
            auto& sender = make(forward ? *a : *b, false, false, p, warmup, measurement);
            sender.on([port = portOf(receiver)](BulkTransfer& t) { return t.start(port), 0; });
            directions.push_back({&receiver, &sender});
        }
        for (auto& d : directions) {
            EXPECT_TRUE(d.receiver->waitFor<E::ReceiverReady>());
        }
        for (auto& d : directions) {
            d.receiver->on([](BulkTransfer& t) { return t.startTransfer(), 0; });
            d.sender->on([](BulkTransfer& t) { return t.startTransfer(), 0; });
        }
        for (auto& d : directions) {
            EXPECT_TRUE(d.receiver->waitFor<E::Warmed>());
        }
        for (auto& d : directions) {
            EXPECT_TRUE(
                d.receiver->on([](BulkTransfer& t) { return t.applyMeasurementBarrier(); }));
            d.sender->on([](BulkTransfer& t) { return t.beginMeasurementWindow(), 0; });
        }
        return directions;
    }

    static double rateOf(const SpeedSample& s) { return s.bitsPerSecond().value_or(0); }

    SystemNetworkFactory factory;
    std::unique_ptr<AsioScheduler> schedulerA, schedulerB;
    std::deque<std::unique_ptr<Engine>> engines;
    std::deque<std::unique_ptr<Raw>> raws;
};

TEST_F(BulkOverVeth, CheckConnectionsVerifyEachWayAndSurviveSplitPreambles) {
    for (bool fromA : {true, false}) {
        SCOPED_TRACE(fromA ? "A opens" : "B opens");
        const auto p = newPreamble(SpeedPreamble::checkStage);
        auto& listener = listen(fromA ? *b : *a, true, p);
        auto& opener = make(fromA ? *a : *b, false, true, p);
        opener.on([port = portOf(listener)](BulkTransfer& t) { return t.start(port), 0; });
        EXPECT_TRUE(listener.waitFor<E::Verified>());
        EXPECT_TRUE(opener.waitFor<E::Verified>());
        EXPECT_TRUE(opener.first<E::Path>()->text.starts_with("Data path: "));
        EXPECT_FALSE(listener.first<E::Failed>());
    }
    // A preamble in two pieces with bytes behind it: the listener reads at most the preamble,
    // replies and verifies once its reply is sent.
    const auto p = newPreamble(SpeedPreamble::checkStage);
    auto& listener = listen(*b, true, p);
    auto& raw = dialB(portOf(listener));
    const auto bytes = p.encoded();
    raw.send(Bytes(bytes.begin(), bytes.begin() + 40));
    std::this_thread::sleep_for(100ms);
    raw.send(Bytes(bytes.begin() + 40, bytes.end()));
    std::this_thread::sleep_for(100ms);
    raw.send(Bytes(20, 0xEE));
    EXPECT_TRUE(listener.waitFor<E::Verified>());
}

TEST_F(BulkOverVeth, ForwardStageMeasuresTenIntervalsAndReportsTcp) {
    auto directions = runStages({true}, 2.0, 10.0);
    auto& d = directions.at(0);
    ASSERT_TRUE(d.receiver->waitFor<E::Result>(15s));
    const auto result = d.receiver->first<E::Result>()->sample;
    EXPECT_TRUE(result.measuring);
    EXPECT_GE(result.seconds, 10.0);
    ASSERT_EQ(result.intervals.size(), 10u);
    EXPECT_EQ(result.intervals.front().start, 0.0);
    EXPECT_GT(rateOf(result), 1e8);
    EXPECT_TRUE(d.receiver->first<E::Progress>());

    EventRecorder<std::optional<TCPObservation>> reports;
    d.sender->on([&](BulkTransfer& t) {
        t.collectReport([&](auto r) { reports.push(std::move(r)); });
        return 0;
    });
    ASSERT_TRUE(reports.waitForCount(1, 5s));
    const auto report = reports.values().at(0);
    ASSERT_TRUE(report);
    EXPECT_FALSE(report->reason) << report->reason.value_or("");
    EXPECT_EQ(report->interface, ifA.name);
    EXPECT_GE(report->sent, result.bytes);
    EXPECT_TRUE(report->smoothedRTT && report->minimumRTT && report->rttVariance);
    ASSERT_TRUE(report->window);
    EXPECT_GE(report->slices.size(), 11u);
    EXPECT_EQ(
        report->pathInterfaces,
        std::vector<std::string>{ifA.name + "/" + std::to_string(ifA.index) + ":wiredEthernet"});
    EXPECT_NO_THROW(report->validate(report->run, report->session, report->sender, 0));
}

TEST_F(BulkOverVeth, DuplexRunsBothDirectionsAtOnce) {
    auto directions = runStages({true, false}, 0.5, 2.0);
    for (auto& d : directions) {
        ASSERT_TRUE(d.receiver->waitFor<E::Result>(10s));
        EXPECT_EQ(d.receiver->first<E::Result>()->sample.intervals.size(), 2u);
        EXPECT_GT(rateOf(d.receiver->first<E::Result>()->sample), 1e8);
        EXPECT_FALSE(d.sender->first<E::Failed>());
    }
}

// On a shaped link the measurement is the link's: the window never holds more than the shaper
// lets through in it (its rate, plus the one burst its bucket may hold, plus what a receiver
// that came a quarter second late to the window's start may still find unread), the rate
// stays above a floor no working engine falls under, and the intervals tile the window and
// add up to its bytes exactly. How close the rate comes to iperf3's is the benchmark's to say.
TEST_F(BulkOverVeth, ShapedLinkRateStaysWithinTheShapersBounds) {
    constexpr double burstBits = 2e6;  // "burst 2mbit"
    constexpr double lateStart = 0.25;
    struct Row {
        const char* rate;
        double bitsPerSecond;
        double floor;
    } rows[] = {
        {"100mbit", 100e6, 50e6},
        {"1gbit", 1e9, 1e8},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.rate);
        shell("ip netns exec " + pair->nsA + " tc qdisc replace dev " + pair->link.nameA +
              " root tbf rate " + row.rate + " burst 2mbit latency 50ms");
        auto directions = runStages({true}, 1.0, 4.0);
        ASSERT_TRUE(directions[0].receiver->waitFor<E::Result>(10s));
        const auto sample = directions[0].receiver->first<E::Result>()->sample;
        for (auto* e : {directions[0].receiver, directions[0].sender}) {
            e->on([](BulkTransfer& t) { return t.shutdown(), 0; });
        }
        EXPECT_GE(sample.seconds, 4.0);
        EXPECT_LE(static_cast<double>(sample.bytes) * 8,
                  row.bitsPerSecond * (sample.seconds + lateStart) + burstBits);
        EXPECT_GE(rateOf(sample), row.floor);
        ASSERT_FALSE(sample.intervals.empty());
        double end = 0;
        std::uint64_t bytes = 0;
        for (const auto& interval : sample.intervals) {
            EXPECT_EQ(interval.start, end);
            end = interval.end;
            bytes += interval.bytes;
        }
        EXPECT_EQ(end, sample.seconds);
        EXPECT_EQ(bytes, sample.bytes);
    }
}

TEST_F(BulkOverVeth, PeerLinkDownMidStageEndsWithAProgressThenThePathFailure) {
    auto directions = runStages({true}, 0.5, 10.0);
    auto& d = directions.at(0);
    std::this_thread::sleep_for(1s);
    pair->lab.ip(pair->nsB, "link set " + pair->link.nameB + " down");
    ASSERT_TRUE(d.receiver->waitFor<E::Failed>(5s));
    const auto events = d.receiver->events.values();
    ASSERT_GE(events.size(), 2u);
    EXPECT_TRUE(std::holds_alternative<E::Progress>(events[events.size() - 2]));
    EXPECT_EQ(std::get<E::Failed>(events.back()),
              (E::Failed{"Selected Ethernet data path lost.", RunEndCause::connection}));
    ASSERT_TRUE(d.sender->waitFor<E::Failed>(8s));
    EXPECT_EQ(d.sender->first<E::Failed>()->cause, RunEndCause::connection);
}

// Misbehaving peers, all at once so the longest deadline (30 s) bounds the test.
TEST_F(BulkOverVeth, MisbehavingPeersEndWithTheirOwnFailure) {
    struct Case {
        std::string expected;
        Engine* engine = nullptr;
    };
    std::vector<Case> cases;
    auto stageWithPreamble = [&](const SpeedPreamble& p) -> std::pair<Engine*, Raw*> {
        auto& e = listen(*b, false, p);
        auto& raw = dialB(portOf(e));
        raw.send(p.encoded());
        EXPECT_TRUE(e.waitFor<E::ReceiverReady>());
        e.on([](BulkTransfer& t) { return t.startTransfer(), 0; });
        return {&e, &raw};
    };
    {  // wrong preamble on a check and on a stage connection
        auto p = newPreamble(SpeedPreamble::checkStage);
        auto wrong = p;
        wrong.token[0] ^= 1;
        auto& check = listen(*b, true, p);
        dialB(portOf(check)).send(wrong.encoded());
        cases.push_back({"Preparation peer/session/token did not match.", &check});
        p.stage = wrong.stage = 0;
        auto& stage = listen(*b, false, p);
        dialB(portOf(stage)).send(wrong.encoded());
        cases.push_back({"Invalid data preamble or payload ordering.", &stage});
    }
    {  // silent after connecting, and nobody connecting at all
        auto& silent = listen(*b, false, newPreamble(0));
        dialB(portOf(silent));
        cases.push_back({"Data preamble timed out.", &silent});
        cases.push_back({"Data preparation timed out.", &listen(*b, false, newPreamble(0))});
    }
    {  // payload stops, and payload that never ends (no barrier, no result)
        auto [stalled, stalledRaw] = stageWithPreamble(newPreamble(0));
        stalledRaw->send(Bytes(1000, 1));
        cases.push_back({"No data progress for five seconds.", stalled});
        auto [endless, endlessRaw] = stageWithPreamble(newPreamble(0));
        auto timer = std::make_shared<asio::steady_timer>(a->executor());
        auto pump = std::make_shared<std::function<void()>>();
        *pump = [timer, pump, c = endlessRaw->connection] {
            c->send(Bytes(10'000, 2), [](auto) {});
            timer->expires_after(100ms);
            timer->async_wait([pump](const asio::error_code& error) {
                if (!error) {
                    (*pump)();
                }
            });
        };
        a->post([pump] { (*pump)(); });
        atTearDown(*a, [timer, pump] { timer->cancel(), *pump = nullptr; });
        cases.push_back({"Active bulk exceeded 15 seconds.", endless});
    }
    {  // closing early: during a check's preamble, and mid-payload
        const auto bytes = newPreamble(SpeedPreamble::checkStage).encoded();
        auto& check = listen(*b, true, newPreamble(SpeedPreamble::checkStage));
        auto& raw = dialB(portOf(check));
        raw.send(Bytes(bytes.begin(), bytes.begin() + 40));
        a->call([&] { return raw.connection->cancel(), 0; });
        cases.push_back({"Preparation handshake interrupted.", &check});
        auto [closed, closedRaw] = stageWithPreamble(newPreamble(0));
        closedRaw->send(Bytes(1000, 1));
        a->call([c = closedRaw->connection] { return c->cancel(), 0; });
        cases.push_back({"Data stream ended before result exchange.", closed});
    }
    {  // a verified check connection left idle reaches the total deadline
        const auto p = newPreamble(SpeedPreamble::checkStage);
        auto& listener = listen(*b, true, p);
        auto& opener = make(*a, false, true, p);
        opener.on([port = portOf(listener)](BulkTransfer& t) { return t.start(port), 0; });
        EXPECT_TRUE(opener.waitFor<E::Verified>());
        cases.push_back({"Data run exceeded its total deadline.", &opener});
    }
    for (auto& c : cases) {
        SCOPED_TRACE(c.expected);
        ASSERT_TRUE(c.engine->waitFor<E::Failed>(35s));
        const auto failed = *c.engine->first<E::Failed>();
        EXPECT_TRUE(failed.message.starts_with(c.expected)) << failed.message;
        EXPECT_TRUE(std::holds_alternative<E::Failed>(c.engine->events.values().back()));
    }
}

}  // namespace
}  // namespace sorvanta
