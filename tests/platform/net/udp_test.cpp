#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>

#include "lab/event_recorder.h"
#include "lab/veth_sides.h"
#include "platform/net/socket_udp_connection.h"
#include "platform/net/socket_udp_listener.h"

namespace sorvanta {
namespace {

using testing::EventRecorder;
using Kind = TransportState::Kind;

NetworkParameters pinnedUdp(const NetworkInterface& interface) {
    NetworkParameters parameters = NetworkParameters::udp();
    parameters.requiredInterface = interface;
    parameters.requiredInterfaceType = InterfaceType::wiredEthernet;
    return parameters;
}

std::shared_ptr<const UdpConnection::Bytes> datagram(const std::string& text) {
    return std::make_shared<const UdpConnection::Bytes>(text.begin(), text.end());
}

struct Arrival {
    std::string content;
    UdpConnection::Clock::time_point at;
};

class UdpOverVeth : public testing::VethSides {
  protected:
    // A listener on B; returns its port.
    std::uint16_t listenOnB() {
        EventRecorder<ListenerState> states;
        listener = b->call([&] {
            auto l = SocketUdpListener::create(b->executor(), pinnedUdp(ifB));
            l->setStateHandler([&states](const ListenerState& s) { states.push(s); });
            l->setNewFlowHandler([this](std::shared_ptr<UdpConnection> flow) { flows.push(flow); });
            l->start();
            return l;
        });
        atTearDown(*b, [this] {
            listener->cancel();
            for (auto& flow : flows.values()) {
                flow->cancel();
            }
        });
        EXPECT_TRUE(states.waitForCount(1));
        EXPECT_EQ(states.values()[0].kind, ListenerState::Kind::ready);
        b->call([&] {
            listener->setStateHandler(nullptr);  // `states` ends with this call
            return 0;
        });
        return states.values()[0].port;
    }

    std::shared_ptr<UdpConnection> dial(testing::NetnsThread& side, Endpoint remote,
                                        NetworkParameters parameters) {
        EventRecorder<TransportState> states;
        auto connection = side.call([&] {
            auto c = SocketUdpConnection::create(side.executor(), remote, parameters);
            c->setStateHandler([&states](const TransportState& s) { states.push(s); });
            c->start();
            return c;
        });
        atTearDown(side, [connection] { connection->cancel(); });
        EXPECT_TRUE(
            states.waitFor([](auto& v) { return !v.empty() && v.back().kind == Kind::ready; }));
        side.call([&] {
            connection->setStateHandler(nullptr);
            return 0;
        });
        return connection;
    }

    // Keeps `outstanding` receives armed on `connection`, recording every datagram.
    static void receiveAll(testing::NetnsThread& side, std::shared_ptr<UdpConnection> connection,
                           EventRecorder<Arrival>& arrivals, int outstanding) {
        side.call([&] {
            auto arm = std::make_shared<std::function<void()>>();
            *arm = [connection, &arrivals, weakArm = std::weak_ptr(arm)] {
                connection->receiveMessage([&arrivals, weakArm](std::span<const std::uint8_t> c,
                                                                UdpConnection::Clock::time_point at,
                                                                std::uint64_t,
                                                                std::optional<PlatformError> e) {
                    EXPECT_FALSE(e) << e->text();
                    arrivals.push({std::string(c.begin(), c.end()), at});
                    if (auto again = weakArm.lock()) {
                        (*again)();
                    }
                });
            };
            for (int i = 0; i < outstanding; ++i) {
                (*arm)();
            }
            armers.push_back(arm);
            return 0;
        });
    }

    static inline std::vector<std::shared_ptr<std::function<void()>>> armers;

    void release() override {
        armers.clear();
        flows.clear();
        listener.reset();
    }

    std::shared_ptr<UdpListener> listener;
    EventRecorder<std::shared_ptr<UdpConnection>> flows;
};

TEST_F(UdpOverVeth, AdoptedFlowStartsWithTheDatagramThatCreatedItAndOutlivesTheListener) {
    const auto port = listenOnB();
    auto sender = dial(*a, {asio::ip::make_address(pair->ipv4B), port}, pinnedUdp(ifA));
    a->call([&] {
        sender->send(datagram("first"), nullptr);
        sender->send(datagram("second"), nullptr);
        return 0;
    });
    ASSERT_TRUE(flows.waitForCount(1));
    auto flow = flows.values()[0];
    EXPECT_EQ(flow->endpoint().host.to_string(), pair->ipv4A);  // read as IPv4

    // A second sender is a second flow, reported once however much it sends.
    auto other = dial(*a, {asio::ip::make_address(pair->ipv4B), port}, pinnedUdp(ifA));
    a->call([&] {
        for (int i = 0; i < 3; ++i) {
            other->send(datagram("other"), nullptr);
        }
        return 0;
    });
    ASSERT_TRUE(flows.waitForCount(2));

    EventRecorder<Arrival> arrivals;
    b->call([&] {
        flow->start();
        return 0;
    });
    receiveAll(*b, flow, arrivals, 4);
    ASSERT_TRUE(arrivals.waitForCount(2));
    EXPECT_EQ(arrivals.values()[0].content, "first");
    EXPECT_EQ(arrivals.values()[1].content, "second");

    // Once adopted, the flow keeps its datagrams after the listener has gone.
    b->call([&] {
        listener->cancel();
        return 0;
    });
    a->call([&] {
        sender->send(datagram("third"), nullptr);
        return 0;
    });
    ASSERT_TRUE(arrivals.waitForCount(3));
    EXPECT_EQ(arrivals.values()[2].content, "third");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(arrivals.values().size(), 3u);  // nothing of the other flow
    EXPECT_EQ(flows.values().size(), 2u);

    // And it answers the peer.
    EventRecorder<Arrival> back;
    receiveAll(*a, sender, back, 1);
    b->call([&] {
        flow->send(datagram("reply"), nullptr);
        return 0;
    });
    ASSERT_TRUE(back.waitForCount(1));
    EXPECT_EQ(back.values()[0].content, "reply");
}

TEST_F(UdpOverVeth, BatchedSendsCompleteOnceInOrderAndArrivalsNeverGoBack) {
    const auto port = listenOnB();
    auto sender = dial(*a, {asio::ip::make_address(pair->ipv4B), port}, pinnedUdp(ifA));
    a->call([&] {
        sender->send(datagram(""), nullptr);  // creates the flow; an empty datagram
        return 0;
    });
    ASSERT_TRUE(flows.waitForCount(1));
    auto flow = flows.values()[0];
    b->call([&] {
        flow->start();
        return 0;
    });
    EventRecorder<Arrival> arrivals;
    receiveAll(*b, flow, arrivals, 64);
    ASSERT_TRUE(arrivals.waitForCount(1));
    EXPECT_EQ(arrivals.values()[0].content, "");

    constexpr int total = 2000;
    EventRecorder<int> completions;
    a->call([&] {
        for (int start = 0; start < total; start += 50) {
            sender->batch([&] {
                for (int i = start; i < start + 50; ++i) {
                    // Runs of equal size, broken now and then by a shorter datagram.
                    std::string text(i % 17 == 0 ? 700 : 1200, 'p');
                    text.replace(0, 4, std::to_string(1000 + i));
                    sender->send(datagram(text), [&completions, i](std::optional<PlatformError> e) {
                        EXPECT_FALSE(e);
                        completions.push(i);
                    });
                }
            });
        }
        return 0;
    });
    ASSERT_TRUE(completions.waitForCount(total));
    const auto order = completions.values();
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
    EXPECT_EQ(order.size(), static_cast<std::size_t>(total));

    ASSERT_TRUE(arrivals.waitForCount(total + 1));
    const auto got = arrivals.values();
    // Each datagram arrives whole and on its own, in order on this link.
    for (std::size_t i = 1; i < got.size(); ++i) {
        const int sent = static_cast<int>(i) - 1;
        EXPECT_GE(got[i].at, got[i - 1].at);
        ASSERT_EQ(got[i].content.size(), sent % 17 == 0 ? 700u : 1200u) << sent;
        ASSERT_EQ(got[i].content.substr(0, 4), std::to_string(1000 + sent));
    }
    EXPECT_LE(got.back().at, UdpConnection::Clock::now());
    EXPECT_EQ(flow->receiveQueueDrops(), 0u);
    // Buffers were asked large; the kernel reports what it granted.
    EXPECT_GE(flow->receiveBufferSize(), 4 * 1024 * 1024);
    EXPECT_GE(sender->sendBufferSize(), 4 * 1024 * 1024);
}

// Each datagram carries the count of entries the socket's full queue had dropped when the
// kernel queued it, so the drops between two datagrams are those of the datagrams between
// them: one entry per datagram sent on its own, one per run the kernel kept coalesced (a
// segmented send crosses a veth whole), never more entries than datagrams nor more datagrams
// than a coalesced entry holds.
TEST_F(UdpOverVeth, OverflowsOfOurOwnReceiveQueueAreCountedApartAndStampedOnEachDatagram) {
    const auto port = listenOnB();
    auto sender = dial(*a, {asio::ip::make_address(pair->ipv4B), port}, pinnedUdp(ifA));
    a->call([&] {
        sender->send(datagram("hello"), nullptr);
        return 0;
    });
    ASSERT_TRUE(flows.waitForCount(1));
    auto flow = flows.values()[0];
    EventRecorder<TransportState> ready;
    b->call([&] {
        flow->setStateHandler([&ready](const TransportState& s) { ready.push(s); });
        flow->start();
        return 0;
    });
    ASSERT_TRUE(ready.waitFor([](auto& v) { return !v.empty() && v.back().kind == Kind::ready; }));

    // Receives that re-arm themselves only while `reading`: between drains nobody reads.
    // Each arrival is kept as the number it was sent with and the drops stamped on it.
    using Stamped = std::pair<long, std::uint64_t>;
    auto reading = std::make_shared<std::atomic<bool>>(false);
    auto arrivals = std::make_shared<EventRecorder<Stamped>>();
    auto arm = std::make_shared<std::function<void()>>();
    *arm = [flow, reading, arrivals, weak = std::weak_ptr(arm)] {
        flow->receiveMessage([reading, arrivals, weak](std::span<const std::uint8_t> c, auto,
                                                       std::uint64_t drops, auto) {
            const std::string text(c.begin(), c.end());
            // Numbered from 0 after the datagram that made the flow.
            arrivals->push(
                {text == "hello" ? -1 : std::stol(text.substr(0, 8)) - 10'000'000, drops});
            auto again = weak.lock();
            if (again && *reading) {
                (*again)();
            }
        });
    };
    armers.push_back(arm);
    const auto drain = [&] {
        *reading = true;
        b->call([&] {
            for (int i = 0; i < 64; ++i) {
                (*arm)();
            }
            return 0;
        });
        std::size_t previous = ~std::size_t{0};
        while (arrivals->values().size() != previous) {
            previous = arrivals->values().size();
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        *reading = false;
    };
    // Far more than the receive buffer holds, sent while nobody reads on B: one by one, or
    // in runs of equal datagrams that go as one segmented send each.
    constexpr int total = 20000, run = 50;
    long next = 0;
    const auto burst = [&](bool segmented) {
        EventRecorder<int> completions;
        a->call([&] {
            for (int i = 0; i < total; i += run) {
                const auto sends = [&] {
                    for (int k = 0; k < run; ++k) {
                        std::string text(1200, 'q');
                        text.replace(0, 8, std::to_string(10'000'000 + next++));
                        sender->send(datagram(text), [&completions](std::optional<PlatformError>) {
                            completions.push(0);
                        });
                    }
                };
                if (segmented) {
                    sender->batch(sends);
                } else {
                    sends();
                }
            }
            return 0;
        });
        EXPECT_TRUE(completions.waitForCount(total, std::chrono::seconds(30)));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    };
    burst(false);
    drain();
    const std::uint64_t firstDrops = flow->receiveQueueDrops();
    EXPECT_GT(firstDrops, 0u);
    burst(true);
    drain();
    const std::uint64_t drops = flow->receiveQueueDrops();
    EXPECT_GT(drops, firstDrops);

    const auto got = arrivals->values();
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0], (Stamped{-1, 0}));
    // On a veth nothing is lost on the way: every datagram that did not arrive was dropped by
    // our queue. Sent one by one, each was one entry.
    std::size_t firstBurst = 0;  // the last arrival of the first burst
    for (std::size_t i = 1; i < got.size(); ++i) {
        const auto [number, stamp] = got[i];
        const auto [before, stampBefore] = got[i - 1];
        ASSERT_GT(number, before) << i;
        ASSERT_GE(stamp, stampBefore) << number;
        const long missing = number - before - 1;
        const auto entries = static_cast<long>(stamp - stampBefore);
        if (number < total) {
            ASSERT_EQ(entries, missing) << number;
            firstBurst = i;
        } else if (before >= total) {
            ASSERT_LE(entries, missing) << number;
            ASSERT_LE(missing, entries * 64) << number;
        }
    }
    std::printf("first burst: %zu arrived, %llu dropped; second: %zu arrived, %llu entries\n",
                firstBurst, static_cast<unsigned long long>(firstDrops),
                got.size() - 1 - firstBurst, static_cast<unsigned long long>(drops - firstDrops));
    // The datagrams after the last arrival were dropped too, and counted.
    EXPECT_EQ(got[firstBurst].second + (total - 1 - got[firstBurst].first), firstDrops);
}

}  // namespace
}  // namespace sorvanta

namespace sorvanta {
namespace {

class UdpPinning : public testing::VethSides {};

TEST_F(UdpPinning, AMissingPinnedInterfaceMakesListenerAndConnectionWait) {
    const NetworkInterface gone{ifA.name, ifA.index + 40, InterfaceType::wiredEthernet};
    EventRecorder<ListenerState> listening;
    EventRecorder<TransportState> states;
    std::shared_ptr<UdpListener> l;
    std::shared_ptr<UdpConnection> c;
    a->call([&] {
        l = SocketUdpListener::create(a->executor(), pinnedUdp(gone));
        l->setStateHandler([&](const ListenerState& s) { listening.push(s); });
        l->start();
        c = SocketUdpConnection::create(a->executor(), {asio::ip::make_address(pair->ipv4B), 9},
                                        pinnedUdp(gone));
        c->setStateHandler([&](const TransportState& s) { states.push(s); });
        c->start();
        return 0;
    });
    ASSERT_TRUE(listening.waitForCount(1));
    EXPECT_EQ(listening.values()[0].kind, ListenerState::Kind::waiting);
    EXPECT_EQ(listening.values()[0].error, PlatformError::posix(ENODEV));
    ASSERT_TRUE(states.waitForCount(2));
    EXPECT_EQ(states.values()[0].kind, Kind::preparing);
    EXPECT_EQ(states.values()[1], TransportState::waiting(PlatformError::posix(ENODEV)));
    a->call([&] {
        l->cancel();
        c->cancel();
        return 0;
    });
}

}  // namespace
}  // namespace sorvanta

namespace sorvanta {
namespace {

// A message the kernel coalesced comes apart into its datagrams, each with the message's
// stamp; a plain message stays one datagram, also when empty or when no segment is given.
TEST(UdpCoalescedRead, SplitsIntoDatagramsOfTheGivenSizeWithAShorterLast) {
    struct Case {
        std::size_t offset, length, segment;
        std::vector<std::pair<std::size_t, std::size_t>> expected;  // offset, length
    };
    const std::vector<Case> cases = {
        {0, 1200, 0, {{0, 1200}}},
        {0, 0, 0, {{0, 0}}},
        {0, 0, 1200, {{0, 0}}},
        {65536, 1200, 1200, {{65536, 1200}}},
        {0, 700, 1200, {{0, 700}}},
        {0, 3600, 1200, {{0, 1200}, {1200, 1200}, {2400, 1200}}},
        {131072, 3100, 1200, {{131072, 1200}, {132272, 1200}, {133472, 700}}},
        {0, 1201, 1200, {{0, 1200}, {1200, 1}}},
    };
    const auto stamp = UdpConnection::Clock::time_point(std::chrono::seconds(7));
    for (const auto& c : cases) {
        std::vector<SocketUdpConnection::Arrived> got;
        SocketUdpConnection::splitDatagrams(c.offset, c.length, c.segment, stamp, 5, got);
        ASSERT_EQ(got.size(), c.expected.size()) << c.length << "/" << c.segment;
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].offset, c.expected[i].first) << c.length << "/" << c.segment;
            EXPECT_EQ(got[i].length, c.expected[i].second) << c.length << "/" << c.segment;
            EXPECT_EQ(got[i].arrival, stamp);
            EXPECT_EQ(got[i].queueDrops, 5u);
        }
    }
}

}  // namespace
}  // namespace sorvanta
