#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <numeric>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "lab/event_recorder.h"
#include "lab/veth_sides.h"
#include "platform/net/socket_tcp_connection.h"
#include "platform/net/socket_tcp_listener.h"
#include "platform/net/wired_path.h"

namespace sorvanta {
namespace {

using testing::EventRecorder;
using testing::NetnsThread;
using Kind = TransportState::Kind;

bool hasKind(const std::vector<TransportState>& states, Kind kind) {
    for (const auto& s : states) {
        if (s.kind == kind) {
            return true;
        }
    }
    return false;
}

// One side listens, the other dials, each on an io thread inside its namespace.
class TcpOverVeth : public testing::VethSides {
  protected:
    void release() override {
        inbound.reset();
        accepted.clear();
    }

    // Listens on B, pinned; returns the port once ready. Accepted connections are started
    // and kept in `accepted`.
    std::uint16_t listenOnB(std::uint16_t port = 0,
                            std::optional<NetworkParameters> parameters = std::nullopt) {
        EventRecorder<ListenerState> states;
        auto listener = b->call([&] {
            auto l = SocketTcpListener::create(
                b->executor(), parameters ? *parameters : makeWiredParameters(ifB), port);
            l->setStateHandler([&states](const ListenerState& s) { states.push(s); });
            l->setNewConnectionHandler([this](std::shared_ptr<TcpConnection> c) {
                c->setStateHandler([this](const TransportState& s) { inboundStates.push(s); });
                c->start();
                inbound = c;
                accepted.push(c);
            });
            l->start();
            return l;
        });
        atTearDown(*b, [this, listener] {
            listener->cancel();
            for (auto& c : accepted.values()) {
                c->cancel();
            }
        });
        EXPECT_TRUE(states.waitFor(
            [](auto& v) { return !v.empty() && v.back().kind == ListenerState::Kind::ready; }));
        b->call([&] {
            listener->setStateHandler(nullptr);  // `states` ends with this call
            return 0;
        });
        return states.values().back().port;
    }

    std::shared_ptr<TcpConnection> dialFromA(Endpoint remote, NetworkParameters parameters,
                                             EventRecorder<TransportState>& states) {
        auto connection = a->call([&] {
            auto c = SocketTcpConnection::create(a->executor(), remote, parameters);
            c->setStateHandler([&states](const TransportState& s) { states.push(s); });
            c->start();
            return c;
        });
        atTearDown(*a, [connection] { connection->cancel(); });
        return connection;
    }

    // Listens on B and dials it from A over IPv4, both pinned, until both ends are ready.
    void connectPinned(EventRecorder<TransportState>& states,
                       std::shared_ptr<TcpConnection>& connection) {
        const auto port = listenOnB();
        connection = dialFromA({asio::ip::make_address(pair->ipv4B), port},
                               makeWiredParameters(ifA), states);
        ASSERT_TRUE(states.waitFor(ready));
        ASSERT_TRUE(accepted.waitForCount(1));
    }

    static bool ready(const std::vector<TransportState>& v) { return hasKind(v, Kind::ready); }

    // As connectPinned, and until the accepted end has reported ready too.
    void connectPinnedAndInboundReady(EventRecorder<TransportState>& states,
                                      std::shared_ptr<TcpConnection>& connection) {
        ASSERT_NO_FATAL_FAILURE(connectPinned(states, connection));
        ASSERT_TRUE(inboundStates.waitFor(ready));
    }

    // Closes both ends of one table case's connection, so the next case starts afresh.
    void closeCase(const std::shared_ptr<TcpConnection>& connection) {
        b->call([&] {
            inbound->cancel();
            return 0;
        });
        a->call([&] {
            connection->cancel();
            return 0;
        });
        accepted.clear();
        inboundStates.clear();
    }

    // Runs `body(c, connection)` for each table case `c` on a connection of its own, pinned
    // and ready at both ends, closed after the case; a fatal failure ends the table.
    template <typename Cases, typename Body>
    void eachCaseOnItsOwnConnection(const Cases& cases, Body body) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            EventRecorder<TransportState> states;
            std::shared_ptr<TcpConnection> connection;
            ASSERT_NO_FATAL_FAILURE(connectPinnedAndInboundReady(states, connection));
            body(c, connection);
            if (HasFatalFailure()) {
                return;
            }
            closeCase(connection);
        }
    }

    // Reads from `connection` until `count` bytes or the end of the stream.
    static std::string readAll(NetnsThread& side, std::shared_ptr<TcpConnection> connection,
                               std::size_t count, bool* ended = nullptr) {
        EventRecorder<int> done;
        std::string data;
        std::function<void()> next;
        next = [&] {
            connection->receive(1, 65536,
                                [&](std::span<const std::uint8_t> bytes, bool complete,
                                    std::optional<PlatformError> error) {
                                    data.append(bytes.begin(), bytes.end());
                                    if (error) {
                                        ADD_FAILURE() << "receive failed: " << error->text();
                                    }
                                    if (complete || error || data.size() >= count) {
                                        if (ended != nullptr) {
                                            *ended = complete;
                                        }
                                        done.push(0);
                                    } else {
                                        next();
                                    }
                                });
        };
        side.post(next);
        EXPECT_TRUE(done.waitForCount(1, std::chrono::seconds(15)));
        return side.call([&] { return data; });
    }

    EventRecorder<std::shared_ptr<TcpConnection>> accepted;
    EventRecorder<TransportState> inboundStates;
    std::shared_ptr<TcpConnection> inbound;
};

TEST_F(TcpOverVeth, ConnectsPinnedAndExchangesInOrderOverIpv4AndIpv6) {
    const auto port = listenOnB();
    for (const std::string& host : {pair->ipv4B, pair->ipv6B}) {
        SCOPED_TRACE(host);
        EventRecorder<TransportState> states;
        auto connection =
            dialFromA({asio::ip::make_address(host), port}, makeWiredParameters(ifA), states);
        ASSERT_TRUE(states.waitFor(ready));
        EXPECT_EQ(states.values().front().kind, Kind::preparing);
        ASSERT_TRUE(accepted.waitForCount(1));
        ASSERT_TRUE(inboundStates.waitFor(ready));

        // Five sends complete once each, in order.
        EventRecorder<int> completions;
        a->call([&] {
            for (int i = 0; i < 5; ++i) {
                connection->send(TcpConnection::Bytes(1000, static_cast<std::uint8_t>('a' + i)),
                                 [&completions, i](std::optional<PlatformError> error) {
                                     EXPECT_FALSE(error);
                                     completions.push(i);
                                 });
            }
            return 0;
        });
        ASSERT_TRUE(completions.waitForCount(5));
        std::vector<int> order(5);
        std::iota(order.begin(), order.end(), 0);
        EXPECT_EQ(completions.values(), order);

        const std::string got = readAll(*b, inbound, 5000);
        ASSERT_EQ(got.size(), 5000u);
        EXPECT_EQ(got.substr(0, 1000), std::string(1000, 'a'));
        EXPECT_EQ(got.substr(4000), std::string(1000, 'e'));

        // The path runs over exactly the pinned veth, directly.
        const auto path = a->call([&] { return connection->currentPath(); });
        ASSERT_TRUE(path.has_value());
        EXPECT_TRUE(isWiredPath(*path, ifA));
        EXPECT_FALSE(isWiredPath(*path, NetworkInterface{ifA.name, ifA.index + 100}));
        EXPECT_TRUE(path->gateways.empty());
        ASSERT_TRUE(path->remoteEndpoint.has_value());
        EXPECT_EQ(path->remoteEndpoint->port, port);
        if (path->remoteEndpoint->host.is_v6()) {
            // Link-local keeps its scope: the pinned interface.
            EXPECT_EQ(path->remoteEndpoint->host.to_v6().scope_id(),
                      static_cast<unsigned>(ifA.index));
        } else {
            EXPECT_EQ(path->remoteEndpoint->host.to_string(), pair->ipv4B);
            EXPECT_EQ(path->localEndpoint->host.to_string(), pair->ipv4A);
        }
        // The accepted side reads the IPv4 peer as IPv4, not as a mapped IPv6 address.
        const auto inboundPath = b->call([&] { return inbound->currentPath(); });
        ASSERT_TRUE(inboundPath && inboundPath->remoteEndpoint);
        EXPECT_EQ(inboundPath->remoteEndpoint->host.is_v4(), host == pair->ipv4B);
        EXPECT_TRUE(isWiredPath(*inboundPath, ifB));

        closeCase(connection);
    }
}

TEST_F(TcpOverVeth, ReceiveHonoursMinimumAndAllowsOneOutstanding) {
    EventRecorder<TransportState> states;
    std::shared_ptr<TcpConnection> connection;
    ASSERT_NO_FATAL_FAILURE(connectPinned(states, connection));

    EventRecorder<std::pair<std::string, std::optional<PlatformError>>> received;
    // Bounds that no read can meet are refused; then one receive may be outstanding.
    const std::vector<std::pair<std::size_t, std::size_t>> bounds = {
        {5, 4}, {0, 0}, {10, 10}, {1, 10}};
    b->call([&] {
        for (const auto& [minimum, maximum] : bounds) {
            inbound->receive(
                minimum, maximum,
                [&](std::span<const std::uint8_t> d, bool, std::optional<PlatformError> e) {
                    received.push({std::string(d.begin(), d.end()), e});
                });
        }
        return 0;
    });
    ASSERT_TRUE(received.waitForCount(3));
    EXPECT_EQ(received.values()[0].second, PlatformError::posix(EINVAL));
    EXPECT_EQ(received.values()[1].second, PlatformError::posix(EINVAL));
    EXPECT_EQ(received.values()[2].second, PlatformError::posix(EALREADY));
    a->call([&] {
        connection->send(TcpConnection::Bytes{'1', '2', '3', '4'}, nullptr);
        return 0;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(received.values().size(), 3u);  // 4 bytes are below the minimum
    a->call([&] {
        connection->send(TcpConnection::Bytes{'5', '6', '7', '8', '9', '0', 'x'}, nullptr);
        return 0;
    });
    ASSERT_TRUE(received.waitForCount(4));
    EXPECT_EQ(received.values()[3].first, "1234567890");
    EXPECT_FALSE(received.values()[3].second);
}

// A receiver that keeps up with its sender empties the socket on every read and must then
// wait for the next bytes; one that falls behind reads at once. Either way every byte
// arrives once, in order, a receive with a minimum collects its pieces in place, and an end
// of stream reaches a receiver that waits.
TEST_F(TcpOverVeth, ReceivesEveryByteInOrderWhetherTheSocketRanDryOrNot) {
    struct Case {
        const char* name;
        std::size_t pieces, pieceSize, minimum, maximum;
        std::chrono::milliseconds gap;  // between sends
        bool endAfter;                  // the sender closes after its last piece
    } cases[] = {
        {"trickle: every read drains", 20, 7, 1, 65536, std::chrono::milliseconds(3), false},
        {"pieces below the minimum", 12, 3, 10, 64, std::chrono::milliseconds(3), false},
        {"a burst larger than a read", 4, 300'000, 1, 65536, std::chrono::milliseconds(0), false},
        {"end of stream while waiting", 3, 5, 1, 65536, std::chrono::milliseconds(3), true},
    };
    eachCaseOnItsOwnConnection(cases, [&](const auto& c, const auto& connection) {
        std::string expected;
        for (std::size_t i = 0; i < c.pieces * c.pieceSize; ++i) {
            expected.push_back(static_cast<char>('a' + (i * 7 + i / 251) % 26));
        }
        EventRecorder<int> done;
        std::string got;
        bool ended = false;
        std::function<void()> next = [&] {
            inbound->receive(c.minimum, c.maximum,
                             [&](std::span<const std::uint8_t> bytes, bool complete,
                                 std::optional<PlatformError> error) {
                                 EXPECT_FALSE(error) << error->text();
                                 EXPECT_TRUE(complete || bytes.size() >= c.minimum);
                                 got.append(bytes.begin(), bytes.end());
                                 if (complete || error) {
                                     ended = complete;
                                     done.push(0);
                                 } else if (got.size() >= expected.size() && !c.endAfter) {
                                     done.push(0);
                                 } else {
                                     next();
                                 }
                             });
        };
        b->post(next);
        for (std::size_t i = 0; i < c.pieces; ++i) {
            std::this_thread::sleep_for(c.gap);
            a->call([&] {
                connection->send(TcpConnection::Bytes(expected.begin() + i * c.pieceSize,
                                                      expected.begin() + (i + 1) * c.pieceSize),
                                 nullptr);
                return 0;
            });
        }
        if (c.endAfter) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            a->call([&] {
                connection->cancel();  // graceful: the peer reads the end of the stream
                return 0;
            });
        }
        ASSERT_TRUE(done.waitForCount(1, std::chrono::seconds(15)));
        b->call([&] {
            EXPECT_EQ(got.size(), expected.size());
            EXPECT_TRUE(got == expected);
            EXPECT_EQ(ended, c.endAfter);
            return 0;
        });
    });
}

// A large buffer sent again and again is written from a copy held once, by reference; the
// peer must still get every byte once, in order, with other sends between the repeats kept
// in place, whether the socket had room or filled up, and through a graceful cancel.
TEST_F(TcpOverVeth, RepeatedLargeBuffersArriveExactlyWithOtherSendsInPlace) {
    struct Case {
        const char* name;
        const char* sends;  // R: the repeated buffer, r: a copy of it, s: a small other buffer
        std::chrono::milliseconds readerDelay;  // the socket fills meanwhile
        bool cancelAfter;                       // cancel right after the last send
    } cases[] = {
        {"one buffer, room for it", "RRRR", std::chrono::milliseconds(0), false},
        {"socket fills before the reader starts", "RRRRRRRRRRRRRRRRRRRRRRRR",
         std::chrono::milliseconds(300), false},
        {"other sends between repeats", "RRsRRsrRsR", std::chrono::milliseconds(200), false},
        {"an equal copy is not the buffer", "RrRrRrRr", std::chrono::milliseconds(100), false},
        {"graceful cancel writes the queue", "RRRRRRRRRRRR", std::chrono::milliseconds(200), true},
    };
    auto repeated = std::make_shared<TcpConnection::Bytes>(131'072);
    for (std::size_t i = 0; i < repeated->size(); ++i) {
        (*repeated)[i] = static_cast<std::uint8_t>((i * 131 + i / 4093) % 251);
    }
    const TcpConnection::Bytes small{'-', 's', 'm', 'a', 'l', 'l', '-'};
    eachCaseOnItsOwnConnection(cases, [&](const auto& c, const auto& connection) {
        std::string expected;
        EventRecorder<int> order;
        a->call([&] {
            const std::string sends = c.sends;
            for (std::size_t i = 0; i < sends.size(); ++i) {
                std::shared_ptr<const TcpConnection::Bytes> data =
                    sends[i] == 'R'   ? repeated
                    : sends[i] == 'r' ? std::make_shared<const TcpConnection::Bytes>(*repeated)
                                      : std::make_shared<const TcpConnection::Bytes>(small);
                expected.append(data->begin(), data->end());
                connection->send(data, [&order, i](std::optional<PlatformError> error) {
                    EXPECT_FALSE(error) << error->text();
                    order.push(static_cast<int>(i));
                });
            }
            if (c.cancelAfter) {
                connection->cancel();
            }
            return 0;
        });
        std::this_thread::sleep_for(c.readerDelay);
        bool ended = false;
        const std::size_t until =
            c.cancelAfter ? std::numeric_limits<std::size_t>::max() : expected.size();
        const std::string got = readAll(*b, inbound, until, &ended);
        EXPECT_EQ(got.size(), expected.size());
        EXPECT_TRUE(got == expected);
        EXPECT_EQ(ended, c.cancelAfter);
        if (!c.cancelAfter) {
            // Every send completed once, in send order.
            ASSERT_TRUE(order.waitForCount(std::strlen(c.sends), std::chrono::seconds(5)));
            std::vector<int> inOrder(std::strlen(c.sends));
            std::iota(inOrder.begin(), inOrder.end(), 0);
            EXPECT_EQ(order.values(), inOrder);
        }
    });
}

// On a thread that was not prepared to send from files (SIGPIPE is not blocked there), a
// buffer sent again and again is written as plain bytes: it still arrives exactly and every
// send completes without an error, whether the socket had room or filled up.
TEST_F(TcpOverVeth, RepeatedBuffersOnAThreadNotPreparedAreWrittenAsBytes) {
    a = std::make_unique<NetnsThread>(pair->nsA, false);
    struct Case {
        const char* name;
        int repeats;
        std::chrono::milliseconds readerDelay;  // the socket fills meanwhile
    } cases[] = {
        {"room for every send", 4, std::chrono::milliseconds(0)},
        {"socket fills before the reader starts", 24, std::chrono::milliseconds(300)},
    };
    auto repeated = std::make_shared<TcpConnection::Bytes>(131'072);
    for (std::size_t i = 0; i < repeated->size(); ++i) {
        (*repeated)[i] = static_cast<std::uint8_t>((i * 131 + i / 4093) % 251);
    }
    eachCaseOnItsOwnConnection(cases, [&](const auto& c, const auto& connection) {
        EventRecorder<int> completed;
        a->call([&] {
            for (int i = 0; i < c.repeats; ++i) {
                connection->send(repeated, [&completed](std::optional<PlatformError> error) {
                    EXPECT_FALSE(error) << error->text();
                    completed.push(0);
                });
            }
            return 0;
        });
        std::this_thread::sleep_for(c.readerDelay);
        const std::size_t total = repeated->size() * static_cast<std::size_t>(c.repeats);
        const std::string got = readAll(*b, inbound, total);
        ASSERT_EQ(got.size(), total);
        const std::string one(repeated->begin(), repeated->end());
        for (int i = 0; i < c.repeats; ++i) {
            EXPECT_EQ(got.compare(static_cast<std::size_t>(i) * one.size(), one.size(), one), 0)
                << "copy " << i;
        }
        EXPECT_TRUE(completed.waitForCount(static_cast<std::size_t>(c.repeats),
                                           std::chrono::seconds(5)));
    });
}

// Sends made on the connection's own thread join the queue at once, sends from elsewhere
// are posted: mixed, in any order of arrival, the bytes still leave in the order of the calls.
TEST_F(TcpOverVeth, SendsFromTheOwnThreadAndFromOthersKeepTheirOrder) {
    struct Case {
        const char* name;
        std::vector<bool> fromOther;  // per send: made on another thread (else on the own one)
    } cases[] = {
        {"all on the own thread", {false, false, false, false}},
        {"another thread first, then the own thread", {true, true, false, false}},
        {"alternating", {true, false, true, false, true, false}},
        {"own thread first", {false, true, false, true}},
    };
    eachCaseOnItsOwnConnection(cases, [&](const auto& c, const auto& connection) {
        constexpr std::size_t pieceSize = 20'000;
        EventRecorder<int> completions;
        std::string expected;
        a->call([&] {
            // All in one turn of the own thread: a send posted from another thread is still
            // waiting behind this turn when the next own-thread send is made.
            for (std::size_t i = 0; i < c.fromOther.size(); ++i) {
                const auto fill = static_cast<std::uint8_t>('a' + i);
                expected.append(pieceSize, static_cast<char>(fill));
                auto done = [&completions, i](std::optional<PlatformError> error) {
                    EXPECT_FALSE(error);
                    completions.push(static_cast<int>(i));
                };
                if (c.fromOther[i]) {
                    std::thread([&] { connection->send(TcpConnection::Bytes(pieceSize, fill), done); })
                        .join();
                } else {
                    connection->send(TcpConnection::Bytes(pieceSize, fill), done);
                }
            }
            return 0;
        });
        ASSERT_TRUE(completions.waitForCount(c.fromOther.size()));
        std::vector<int> order(c.fromOther.size());
        std::iota(order.begin(), order.end(), 0);
        EXPECT_EQ(completions.values(), order);
        const std::string got = readAll(*b, inbound, expected.size());
        EXPECT_TRUE(got == expected);
    });
}

TEST_F(TcpOverVeth, CountedReceivesCountEveryByteOnceAndGatherOnlyWhatIsWaiting) {
    struct Case {
        const char* name;
        std::size_t total, maximum;
        int reads;
        bool waitFirst;  // everything is sent (and has arrived) before the first receive
        bool endAfter;   // the sender closes after its last byte
    } cases[] = {
        {"one read per completion", 200'000, 4096, 1, true, false},
        {"waiting data is gathered", 200'000, 4096, 4, true, false},
        {"a stream larger than the socket holds", 6'000'000, 131'072, 8, false, false},
        {"end of stream inside a batch", 50'000, 1000, 8, true, true},
    };
    eachCaseOnItsOwnConnection(cases, [&](const auto& c, const auto& connection) {
        a->call([&] {
            connection->send(TcpConnection::Bytes(c.total, 0x5a), nullptr);
            return 0;
        });
        if (c.endAfter) {
            a->call([&] {
                connection->cancel();  // graceful: the peer reads the end of the stream
                return 0;
            });
        }
        if (c.waitFirst) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        EventRecorder<int> done;
        std::vector<std::size_t> counts;
        std::size_t got = 0;
        bool ended = false;
        std::function<void()> next = [&] {
            inbound->receiveCounted(
                c.maximum, c.reads,
                [&](std::size_t count, bool complete, std::optional<PlatformError> error) {
                    EXPECT_FALSE(error) << error->text();
                    counts.push_back(count);
                    got += count;
                    if (complete || error) {
                        ended = complete;
                        done.push(0);
                    } else if (got >= c.total && !c.endAfter) {
                        done.push(0);
                    } else {
                        next();
                    }
                });
        };
        b->post(next);
        ASSERT_TRUE(done.waitForCount(1, std::chrono::seconds(15)));
        b->call([&] {
            EXPECT_EQ(got, c.total);
            EXPECT_EQ(ended, c.endAfter);
            for (std::size_t i = 0; i < counts.size(); ++i) {
                EXPECT_LE(counts[i], c.maximum * static_cast<std::size_t>(c.reads));
                // Only the end of the stream comes with nothing.
                EXPECT_TRUE(counts[i] > 0 || (c.endAfter && i + 1 == counts.size()));
            }
            if (c.waitFirst && !counts.empty()) {
                // What had arrived was taken in full batches.
                EXPECT_EQ(counts.front(), c.maximum * static_cast<std::size_t>(c.reads));
            }
            return 0;
        });
    });
}

// With a receive low-water mark set, bytes below it wait in the kernel, yet they are never
// stranded: the end of the stream, lowering the mark, or enough bytes each wake the
// receive, which then gets every byte waiting, and cancel() still reads the peer out.
TEST_F(TcpOverVeth, ReceiveLowWaterHoldsSmallArrivalsButNeverStrandsThem) {
    enum class Then { nothing, endOfStream, lowerMark, reachMark };
    struct Case {
        const char* name;
        bool counted;
        Then then;
        std::size_t least, most;  // bytes the receive completes with
        std::size_t first = 5;    // bytes sent before, held below the mark of 16,000
        std::size_t lowered = 1;  // the mark lowerMark sets
    } cases[] = {
        {"bytes below the mark wait", true, Then::nothing, 0, 0},
        {"the end of the stream wakes the receive", true, Then::endOfStream, 5, 5},
        {"lowering the mark wakes the receive", true, Then::lowerMark, 5, 5},
        // The kernel may wake it as soon as the mark is reached, before the rest is in.
        {"reaching the mark wakes the receive", true, Then::reachMark, 16'000, 5 + 20'000},
        {"a plain receive is held alike", false, Then::lowerMark, 5, 5},
        // However small the step down, the bytes between the two marks are not left waiting.
        {"lowering the mark a little wakes the receive", true, Then::lowerMark, 15'600, 15'600,
         15'600, 15'500},
        {"lowering it to the bytes waiting wakes the receive", true, Then::lowerMark, 15'900,
         15'900, 15'900, 15'900},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EventRecorder<TransportState> states;
        std::shared_ptr<TcpConnection> connection;
        ASSERT_NO_FATAL_FAILURE(connectPinnedAndInboundReady(states, connection));

        EventRecorder<std::size_t> done;
        b->call([&] {
            inbound->setReceiveLowWater(16'000);
            const auto record = [&](std::size_t count, bool, std::optional<PlatformError> error) {
                EXPECT_FALSE(error) << error->text();
                done.push(count);
            };
            if (c.counted) {
                inbound->receiveCounted(65'536, 4, record);
            } else {
                inbound->receive(1, 65'536,
                                 [record](std::span<const std::uint8_t> data, bool ended,
                                          std::optional<PlatformError> error) {
                                     record(data.size(), ended, error);
                                 });
            }
            return 0;
        });
        a->call([&] {
            connection->send(TcpConnection::Bytes(c.first, 'x'), nullptr);
            return 0;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        EXPECT_EQ(done.values().size(), 0u);  // held below the mark
        switch (c.then) {
            case Then::nothing:
                break;
            case Then::endOfStream:
                a->call([&] {
                    connection->cancel();  // graceful: the peer reads the end of the stream
                    return 0;
                });
                break;
            case Then::lowerMark:
                b->call([&] {
                    inbound->setReceiveLowWater(c.lowered);
                    return 0;
                });
                break;
            case Then::reachMark:
                a->call([&] {
                    connection->send(TcpConnection::Bytes(20'000, 'y'), nullptr);
                    return 0;
                });
                break;
        }
        if (c.then != Then::nothing) {
            ASSERT_TRUE(done.waitForCount(1, std::chrono::seconds(3)));
            EXPECT_GE(done.values().front(), c.least);
            EXPECT_LE(done.values().front(), c.most);
        }
        closeCase(connection);
    }
}

// A receive asked on the connection's own thread starts at once, yet its completion still
// comes after the call (an owner may ask while holding its own lock), a receive posted from
// another thread earlier keeps its place, and cancel() right after silences it.
TEST_F(TcpOverVeth, ReceivesAskedOnTheOwnThreadCompleteAfterTheCallInTheirOrder) {
    enum class Ask { plain, counted, badBounds, twice, postedFirst, thenCancel };
    struct Case {
        const char* name;
        Ask ask;
        // Completions expected: (error, byte count) in order.
        std::vector<std::pair<std::optional<PlatformError>, std::size_t>> expected;
    } cases[] = {
        {"plain receive with bytes waiting", Ask::plain, {{std::nullopt, 6}}},
        {"counted receive with bytes waiting", Ask::counted, {{std::nullopt, 6}}},
        {"bounds no read can meet", Ask::badBounds, {{PlatformError::posix(EINVAL), 0}}},
        {"a second receive while one is outstanding",
         Ask::twice,
         {{PlatformError::posix(EALREADY), 0}, {std::nullopt, 6}}},
        {"a receive posted from another thread first",
         Ask::postedFirst,
         {{PlatformError::posix(EALREADY), 2}, {std::nullopt, 6}}},
        {"cancelled right after the call", Ask::thenCancel, {}},
    };
    eachCaseOnItsOwnConnection(cases, [&](const auto& c, const auto& connection) {
        a->call([&] {
            connection->send(TcpConnection::Bytes{'s', 'i', 'x', '.', '.', '.'}, nullptr);
            return 0;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the bytes are waiting

        std::atomic<bool> inside{false};
        std::atomic<int> inlined{0};
        EventRecorder<std::pair<std::optional<PlatformError>, std::size_t>> done;
        // The size tags which receive completed: a refused one reports its own maximum.
        const auto plain = [&](std::size_t tag) {
            return [&, tag](std::span<const std::uint8_t> data, bool,
                            std::optional<PlatformError> error) {
                inlined += inside ? 1 : 0;
                done.push({error, error ? (tag == 2 ? 2 : 0) : data.size()});
            };
        };
        b->call([&] {
            inside = true;
            switch (c.ask) {
                case Ask::plain:
                case Ask::thenCancel:
                    inbound->receive(1, 100, plain(0));
                    break;
                case Ask::counted:
                    inbound->receiveCounted(
                        100, 4, [&](std::size_t count, bool, std::optional<PlatformError> error) {
                            inlined += inside ? 1 : 0;
                            done.push({error, count});
                        });
                    break;
                case Ask::badBounds:
                    inbound->receive(7, 3, plain(0));
                    break;
                case Ask::twice:
                    inbound->receive(1, 100, plain(0));
                    inbound->receive(1, 100, plain(0));
                    break;
                case Ask::postedFirst:
                    // Still waiting on the executor behind this turn when the next is asked.
                    std::thread([&] { inbound->receive(1, 100, plain(1)); }).join();
                    inbound->receive(1, 100, plain(2));
                    break;
            }
            if (c.ask == Ask::thenCancel) {
                inbound->cancel();
            }
            inside = false;
            return 0;
        });
        if (c.expected.empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            EXPECT_EQ(done.values().size(), 0u);
        } else {
            ASSERT_TRUE(done.waitForCount(c.expected.size()));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            // A refusal and a read of the outstanding receive may complete in either order.
            const auto got = done.values();
            EXPECT_EQ(got.size(), c.expected.size());
            EXPECT_TRUE(std::is_permutation(got.begin(), got.end(), c.expected.begin(),
                                            c.expected.end()));
        }
        EXPECT_EQ(inlined, 0);
    });
}

TEST_F(TcpOverVeth, RefusedConnectWaitsAndRetriesUntilTheListenerAppears) {
    // A port nobody listens on yet.
    const std::uint16_t port = static_cast<std::uint16_t>(40000 + ::getpid() % 20000);
    EventRecorder<TransportState> states;
    auto connection =
        dialFromA({asio::ip::make_address(pair->ipv4B), port}, makeWiredParameters(ifA), states);
    ASSERT_TRUE(states.waitFor([](auto& v) { return hasKind(v, Kind::waiting); }));
    const auto waiting = states.values().back();
    EXPECT_EQ(waiting.error, PlatformError::posix(ECONNREFUSED));
    EXPECT_EQ(waiting.text(), "waiting(POSIX error 111: Connection refused)");
    // The same refusal again is not reported again while it lasts.
    std::this_thread::sleep_for(std::chrono::milliseconds(2200));
    EXPECT_EQ(states.values().size(), 2u);

    // What is sent while waiting goes out once the connection is ready.
    EventRecorder<std::optional<PlatformError>> sent;
    a->call([&] {
        connection->send(TcpConnection::Bytes{'e', 'a', 'r', 'l', 'y'},
                         [&sent](std::optional<PlatformError> e) { sent.push(e); });
        return 0;
    });
    listenOnB(port);
    ASSERT_TRUE(states.waitFor(ready));
    EXPECT_FALSE(hasKind(states.values(), Kind::failed));
    ASSERT_TRUE(accepted.waitForCount(1));
    EXPECT_EQ(readAll(*b, accepted.values()[0], 5), "early");
    ASSERT_TRUE(sent.waitForCount(1));
    EXPECT_FALSE(sent.values()[0]);
}

TEST_F(TcpOverVeth, PinnedToAnotherInterfaceNeverReachesThePeer) {
    // A second link from A to a third namespace, in the same /16 but without the peer.
    const std::string nsC = pair->lab.addNamespace("c");
    const auto other = pair->lab.addLink(pair->nsA, nsC);
    const std::string net = pair->ipv4A.substr(0, pair->ipv4A.rfind('.') + 1);
    pair->lab.ip(pair->nsA, "addr add " + net + "3/16 dev " + other.nameA);
    const auto ifOther = interfaceIn(*a, other.nameA);

    const auto port = listenOnB();
    EventRecorder<TransportState> states;
    auto pinnedElsewhere = dialFromA({asio::ip::make_address(pair->ipv4B), port},
                                     makeWiredParameters(ifOther), states);
    ASSERT_TRUE(states.waitFor([](auto& v) { return hasKind(v, Kind::waiting); },
                               std::chrono::seconds(12)));
    EXPECT_FALSE(ready(states.values()));
    EXPECT_EQ(accepted.values().size(), 0u);

    // Unpinned, the same peer is reachable: the refusal above came from the pinning.
    EventRecorder<TransportState> unpinned;
    dialFromA({asio::ip::make_address(pair->ipv4B), port}, NetworkParameters::tcp(), unpinned);
    EXPECT_TRUE(unpinned.waitFor(ready));
    // Still retrying: stop it while its recorder exists.
    a->call([&] {
        pinnedElsewhere->cancel();
        return 0;
    });
}

TEST_F(TcpOverVeth, PeerLinkDownReportsViabilityAndPathThenRecovers) {
    const auto port = listenOnB();
    EventRecorder<TransportState> states;
    EventRecorder<bool> viability;
    EventRecorder<NetworkPath> paths;
    auto connection = a->call([&] {
        auto c = SocketTcpConnection::create(
            a->executor(), {asio::ip::make_address(pair->ipv4B), port}, makeWiredParameters(ifA));
        c->setStateHandler([&](const TransportState& s) { states.push(s); });
        c->setViabilityHandler([&](bool v) { viability.push(v); });
        c->setPathHandler([&](const NetworkPath& p) { paths.push(p); });
        c->start();
        return c;
    });
    atTearDown(*a, [connection] { connection->cancel(); });
    ASSERT_TRUE(states.waitFor(ready));

    pair->lab.ip(pair->nsB, "link set dev " + pair->link.nameB + " down");
    ASSERT_TRUE(viability.waitForCount(1));
    EXPECT_FALSE(viability.values()[0]);
    ASSERT_TRUE(paths.waitForCount(1));
    EXPECT_EQ(paths.values().back().status, PathStatus::unsatisfied);
    EXPECT_FALSE(isWiredPath(paths.values().back(), ifA));

    pair->lab.ip(pair->nsB, "link set dev " + pair->link.nameB + " up");
    ASSERT_TRUE(viability.waitForCount(2));
    EXPECT_TRUE(viability.values()[1]);
    EXPECT_TRUE(isWiredPath(paths.values().back(), ifA));
    EXPECT_EQ(states.values().back().kind, Kind::ready);

    // Losing the local address is the same loss of viability.
    pair->lab.ip(pair->nsA, "addr del " + pair->ipv4A + "/16 dev " + pair->link.nameA);
    ASSERT_TRUE(viability.waitForCount(3));
    EXPECT_FALSE(viability.values()[2]);
    EXPECT_EQ(paths.values().back().status, PathStatus::unsatisfied);
}

TEST_F(TcpOverVeth, GracefulCancelDeliversTheLastQueuedMessageAndNoHandlerAfter) {
    EventRecorder<TransportState> states;
    std::shared_ptr<TcpConnection> connection;
    ASSERT_NO_FATAL_FAILURE(connectPinned(states, connection));

    std::atomic<bool> cancelled{false};
    std::atomic<int> lateHandlers{0};
    const std::size_t bulk = 4 * 1024 * 1024;  // more than the socket buffers hold
    a->call([&] {
        const auto count = [&](std::optional<PlatformError>) {
            if (cancelled) {
                ++lateHandlers;
            }
        };
        connection->send(TcpConnection::Bytes(bulk, 'x'), count);
        connection->send(TcpConnection::Bytes{'l', 'a', 's', 't'}, count);
        connection->cancel();
        cancelled = true;
        return 0;
    });
    bool ended = false;
    const std::string got = readAll(*b, inbound, bulk + 4 + 1, &ended);
    EXPECT_TRUE(ended);
    ASSERT_EQ(got.size(), bulk + 4);
    EXPECT_EQ(got.substr(bulk), "last");
    EXPECT_EQ(lateHandlers, 0);
    EXPECT_EQ(connection->state().kind, Kind::cancelled);
}

TEST_F(TcpOverVeth, AResetAfterReadyFailsTheConnectionAndEverySendCompletesOnce) {
    // A bare peer that accepts and then resets the connection.
    asio::ip::tcp::acceptor acceptor(b->context());
    asio::ip::tcp::socket peer(b->context());
    const std::uint16_t port = b->call([&] {
        acceptor.open(asio::ip::tcp::v4());
        acceptor.bind({asio::ip::make_address(pair->ipv4B), 0});
        acceptor.listen();
        return acceptor.local_endpoint().port();
    });
    EventRecorder<TransportState> states;
    auto connection =
        dialFromA({asio::ip::make_address(pair->ipv4B), port}, makeWiredParameters(ifA), states);
    ASSERT_TRUE(states.waitFor(ready));
    EventRecorder<std::optional<PlatformError>> received;
    a->call([&] {
        connection->receive(
            1, 100, [&](std::span<const std::uint8_t>, bool, std::optional<PlatformError> e) {
                received.push(e);
            });
        return 0;
    });
    b->call([&] {
        acceptor.accept(peer);
        peer.set_option(asio::socket_base::linger(true, 0));
        peer.close();  // a linger of zero sends a reset
        acceptor.close();
        return 0;
    });
    ASSERT_TRUE(states.waitFor([](auto& v) { return hasKind(v, Kind::failed); }));
    EXPECT_EQ(states.values().back(), TransportState::failed(PlatformError::posix(ECONNRESET)));
    ASSERT_TRUE(received.waitForCount(1));
    EXPECT_EQ(received.values()[0], PlatformError::posix(ECONNRESET));

    // Sends after the failure each complete once, with the failure.
    EventRecorder<std::optional<PlatformError>> sent;
    a->call([&] {
        for (int i = 0; i < 3; ++i) {
            connection->send(TcpConnection::Bytes{1, 2, 3},
                             [&sent](std::optional<PlatformError> e) { sent.push(e); });
        }
        return 0;
    });
    ASSERT_TRUE(sent.waitForCount(3));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(sent.values().size(), 3u);
    for (const auto& e : sent.values()) {
        EXPECT_EQ(e, PlatformError::posix(ECONNRESET));
    }
}

TEST_F(TcpOverVeth, TransferReportCountsTheBytesSentInItsInterval) {
    EventRecorder<TransportState> states;
    std::shared_ptr<TcpConnection> connection;
    ASSERT_NO_FATAL_FAILURE(connectPinned(states, connection));

    EventRecorder<DataTransferReport> reports;
    const std::size_t load = 8 * 1024 * 1024;
    a->call([&] {
        connection->startDataTransferReport().collect(
            [&](const DataTransferReport& r) { reports.push(r); });
        return 0;
    });
    ASSERT_TRUE(reports.waitForCount(1));
    const auto idle = reports.values()[0];
    ASSERT_EQ(idle.pathReports.size(), 1u);
    EXPECT_EQ(idle.pathReports[0].sentTransportByteCount, 0u);

    auto busy = a->call([&] { return connection->startDataTransferReport(); });
    a->call([&] {
        connection->send(TcpConnection::Bytes(load, 'x'), nullptr);
        connection->send(TcpConnection::Bytes(load, 'y'), nullptr);
        return 0;
    });
    EXPECT_EQ(readAll(*b, inbound, 2 * load).size(), 2 * load);
    busy.collect([&](const DataTransferReport& r) { reports.push(r); });
    ASSERT_TRUE(reports.waitForCount(2));
    const auto report = reports.values()[1];
    ASSERT_EQ(report.pathReports.size(), 1u);
    const auto& path = report.pathReports[0];
    EXPECT_EQ(path.interface, ifA);
    EXPECT_GE(path.sentTransportByteCount, load);
    EXPECT_LT(path.sentTransportByteCount, 2 * load + 1024 * 1024);
    EXPECT_GT(report.duration, 0.0);
    EXPECT_GT(path.transportSmoothedRTT, 0.0);
    EXPECT_GE(path.transportSmoothedRTT, path.transportMinimumRTT);
}

// A peer that falls silent without closing, while the connection idles or with bytes on
// their way to it, fails a connection with liveness checks at both ends, the dialled and the
// accepted one, with ETIMEDOUT soon after the drop time.
TEST_F(TcpOverVeth, LivenessChecksFailAConnectionWhosePeerFellSilent) {
    using namespace std::chrono_literals;
    struct Case {
        const char* name;
        bool sending;
    };
    const Case cases[] = {{"idle", false}, {"bytes outstanding", true}};
    const NetworkParameters::Liveness liveness{1s, 1s, 3s};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto onA = makeWiredParameters(ifA);
        auto onB = makeWiredParameters(ifB);
        onA.liveness = onB.liveness = liveness;
        const auto port = listenOnB(0, onB);
        EventRecorder<TransportState> states;
        auto connection = dialFromA({asio::ip::make_address(pair->ipv4B), port}, onA, states);
        ASSERT_TRUE(states.waitFor(ready));
        ASSERT_TRUE(accepted.waitForCount(1));
        ASSERT_TRUE(inboundStates.waitFor(ready));
        EventRecorder<std::optional<PlatformError>> endedA, endedB;
        for (auto [side, end, ended] :
             {std::tuple{a.get(), connection, &endedA}, std::tuple{b.get(), inbound, &endedB}}) {
            side->call([end, ended] {
                end->receive(1, 100,
                             [ended](std::span<const std::uint8_t>, bool,
                                     std::optional<PlatformError> error) { ended->push(error); });
                return 0;
            });
        }
        const auto silenced = std::chrono::steady_clock::now();
        pair->lab.silence(pair->nsB);
        if (c.sending) {
            a->call([&] {
                connection->send(TcpConnection::Bytes(1000, 'x'), [](auto) {});
                return 0;
            });
        }
        ASSERT_TRUE(endedA.waitForCount(1, 10s));
        ASSERT_TRUE(endedB.waitForCount(1, 10s));
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - silenced;
        pair->lab.unsilence(pair->nsB);
        const auto timedOut = PlatformError::posix(ETIMEDOUT);
        EXPECT_EQ(endedA.values()[0], timedOut);
        EXPECT_EQ(endedB.values()[0], timedOut);
        EXPECT_LT(took.count(), 6.0);
        EXPECT_TRUE(
            states.waitFor([&](auto& v) { return v.back() == TransportState::failed(timedOut); }));
        EXPECT_TRUE(inboundStates.waitFor(
            [&](auto& v) { return v.back() == TransportState::failed(timedOut); }));
        closeCase(connection);
    }
}

TEST_F(TcpOverVeth, ListenerPinnedToAMissingInterfaceWaits) {
    EventRecorder<ListenerState> states;
    auto listener = b->call([&] {
        auto l = SocketTcpListener::create(b->executor(),
                                           makeWiredParameters({ifB.name, ifB.index + 50}), 0);
        l->setStateHandler([&](const ListenerState& s) { states.push(s); });
        l->start();
        return l;
    });
    atTearDown(*b, [listener] { listener->cancel(); });
    ASSERT_TRUE(states.waitForCount(1));
    EXPECT_EQ(states.values()[0].kind, ListenerState::Kind::waiting);
    EXPECT_EQ(states.values()[0].error, PlatformError::posix(ENODEV));
}

TEST(TransferReport, IntervalArithmetic) {
    const auto t0 = std::chrono::steady_clock::now();
    const auto t1 = t0 + std::chrono::milliseconds(1500);
    TransferCounters first{t0, 1000, 10, 0.001, 0.0005, 0.0002};
    TransferCounters last{t1, 51000, 110, 0.002, 0.0004, 0.0003};
    const NetworkInterface veth{"veth0", 7, InterfaceType::wiredEthernet};
    const auto report = makeTransferReport(t0, t1, first, last, veth);
    EXPECT_DOUBLE_EQ(report.duration, 1.5);
    ASSERT_EQ(report.pathReports.size(), 1u);
    EXPECT_EQ(report.pathReports[0].sentTransportByteCount, 50000u);
    EXPECT_EQ(report.pathReports[0].retransmittedTransportByteCount, 100u);
    EXPECT_DOUBLE_EQ(report.pathReports[0].transportSmoothedRTT, 0.002);
    // A connection gone at either end gives no path report, and counters never wrap.
    EXPECT_TRUE(makeTransferReport(t0, t1, first, std::nullopt, veth).pathReports.empty());
    const auto backwards = makeTransferReport(t0, t1, last, first, veth);
    EXPECT_EQ(backwards.pathReports[0].sentTransportByteCount, 0u);
}

}  // namespace
}  // namespace sorvanta
