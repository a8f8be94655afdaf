// Throughput of the network layer across a veth pair between two namespaces, beside iperf3 on
// the same pair in the same run:
//   1. one TCP connection, 10 s, 128 KiB sends with 4 in flight, against iperf3 single stream;
//   2. both directions at once, one connection each way, against iperf3 --bidir;
//   3. UDP: 1200-byte datagrams offered at 1 Gbit/s for 5 s by the precise timer, counting
//      drops in our own receive queue apart from loss.
// Needs root (namespaces) and iperf3 (scripts/install-deps.sh installs it).

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "lab/netns_lab.h"
#include "lab/run_figures.h"
#include "platform/net/socket_tcp_connection.h"
#include "platform/net/socket_tcp_listener.h"
#include "platform/net/socket_udp_connection.h"
#include "platform/net/socket_udp_listener.h"
#include "platform/net/thread_precise_timer.h"
#include "platform/net/wired_path.h"

using namespace sorvanta;
using namespace sorvanta::testing;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t sendSize = 128 * 1024;
constexpr int inFlight = 4;
constexpr auto tcpSeconds = std::chrono::seconds(10);

struct Iperf {
    double forward = 0;  // A → B
    double reverse = 0;  // B → A (bidirectional run only)
};

Iperf iperf(const NetnsPair& pair, bool bidirectional) {
    const std::string port = std::to_string(5201 + ::getpid() % 1000);
    std::thread server([&] {
        shell("ip netns exec " + pair.nsB + " iperf3 -s -1 -p " + port + " -B " + pair.ipv4B);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::string json =
        shell("ip netns exec " + pair.nsA + " iperf3 -J -c " + pair.ipv4B + " -p " + port +
              " -t 10 -l 128K" + (bidirectional ? " --bidir" : ""));
    server.join();
    Iperf result;
    result.forward = jsonNumber(json, "sum_received", "bits_per_second");
    if (bidirectional) {
        result.reverse = jsonNumber(json, "sum_received_bidir_reverse", "bits_per_second");
    }
    if (result.forward == 0) {
        std::cerr << "iperf3 gave no figure:\n" << json.substr(0, 2000) << "\n";
    }
    return result;
}

// One direction: `sender` side dials `receiver` side's listener and pushes for tcpSeconds.
struct TcpFlow {
    std::shared_ptr<TcpListener> listener;
    std::shared_ptr<TcpConnection> outbound;
    std::shared_ptr<TcpConnection> inbound;
    std::atomic<std::uint64_t> received{0};
    std::atomic<bool> stop{false};
    std::atomic<bool> ready{false};
    Clock::time_point firstByte{};
    Clock::time_point lastByte{};
    std::shared_ptr<const TcpConnection::Bytes> payload =
        std::make_shared<const TcpConnection::Bytes>(sendSize, 0x5a);

    void receiveNext() {
        inbound->receive(1, sendSize,
                         [this](std::span<const std::uint8_t> data, bool complete,
                                std::optional<PlatformError> error) {
                             if (received == 0) {
                                 firstByte = Clock::now();
                             }
                             received += data.size();
                             lastByte = Clock::now();
                             if (!complete && !error) {
                                 receiveNext();
                             }
                         });
    }

    void pump() {
        outbound->send(payload, [this](std::optional<PlatformError> error) {
            if (!error && !stop) {
                pump();
            }
        });
    }

    void start(NetnsThread& from, const NetworkInterface& fromInterface, NetnsThread& to,
               const NetworkInterface& toInterface, const std::string& toHost) {
        std::atomic<std::uint16_t> port{0};
        to.call([&] {
            listener = SocketTcpListener::create(to.executor(), makeWiredParameters(toInterface));
            listener->setStateHandler([&port](const ListenerState& s) {
                if (s.kind == ListenerState::Kind::ready) {
                    port = s.port;
                }
            });
            listener->setNewConnectionHandler([this](std::shared_ptr<TcpConnection> c) {
                inbound = c;
                inbound->start();
                receiveNext();
            });
            listener->start();
            return 0;
        });
        while (port == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        from.call([&] {
            outbound =
                SocketTcpConnection::create(from.executor(), {asio::ip::make_address(toHost), port},
                                            makeWiredParameters(fromInterface));
            outbound->setStateHandler([this](const TransportState& s) {
                if (s.kind == TransportState::Kind::ready) {
                    ready = true;
                }
            });
            outbound->start();
            return 0;
        });
        while (!ready) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    void go(NetnsThread& from) {
        from.call([&] {
            for (int i = 0; i < inFlight; ++i) {
                pump();
            }
            return 0;
        });
    }

    double finish(NetnsThread& from, NetnsThread& to) {
        stop = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        from.call([&] {
            outbound->cancel();
            return 0;
        });
        to.call([&] {
            listener->cancel();
            if (inbound) {
                inbound->cancel();
            }
            return 0;
        });
        return 0;
    }
};

// Bits per second received over the measured interval, from counters read at its ends.
struct Window {
    std::uint64_t bytes = 0;
    double seconds = 0;
    double rate() const { return seconds > 0 ? bytes * 8.0 / seconds : 0; }
};

Window measure(std::initializer_list<TcpFlow*> flows, std::vector<Window>& each) {
    std::vector<std::uint64_t> start;
    for (auto* f : flows) {
        start.push_back(f->received);
    }
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(tcpSeconds);
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    Window total;
    std::size_t i = 0;
    for (auto* f : flows) {
        Window w{f->received - start[i++], seconds};
        each.push_back(w);
        total.bytes += w.bytes;
        total.seconds = seconds;
    }
    return total;
}

void udpOfferedLoad(NetnsPair& pair, const NetworkInterface& ifA, const NetworkInterface& ifB) {
    NetnsThread a(pair.nsA);
    NetnsThread b(pair.nsB);
    NetworkParameters pA = NetworkParameters::udp();
    pA.requiredInterface = ifA;
    NetworkParameters pB = NetworkParameters::udp();
    pB.requiredInterface = ifB;

    std::atomic<std::uint16_t> port{0};
    std::shared_ptr<UdpConnection> flow;
    std::atomic<std::uint64_t> received{0};
    std::shared_ptr<std::function<void()>> arm = std::make_shared<std::function<void()>>();
    auto listener = b.call([&] {
        auto l = SocketUdpListener::create(b.executor(), pB);
        l->setStateHandler([&](const ListenerState& s) {
            if (s.kind == ListenerState::Kind::ready) {
                port = s.port;
            }
        });
        l->setNewFlowHandler([&](std::shared_ptr<UdpConnection> f) {
            if (flow) {
                f->cancel();
                return;
            }
            flow = f;
            flow->start();
            *arm = [&, weak = std::weak_ptr(arm)] {
                flow->receiveMessage([&, weak](std::span<const std::uint8_t>, Clock::time_point,
                                               std::uint64_t, std::optional<PlatformError> e) {
                    if (!e) {
                        ++received;
                    }
                    if (auto again = weak.lock()) {
                        (*again)();
                    }
                });
            };
            for (int i = 0; i < 64; ++i) {
                (*arm)();
            }
        });
        l->start();
        return l;
    });
    while (port == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::atomic<bool> ready{false};
    auto sender = a.call([&] {
        auto c = SocketUdpConnection::create(a.executor(),
                                             {asio::ip::make_address(pair.ipv4B), port}, pA);
        c->setStateHandler(
            [&](const TransportState& s) { ready = s.kind == TransportState::Kind::ready; });
        c->start();
        return c;
    });
    while (!ready) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    auto datagram = std::make_shared<const UdpConnection::Bytes>(1200, 0x33);
    sender->send(datagram, nullptr);  // creates the flow
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::uint64_t before = received;

    // Paced like the probe: one burst of up to 16 datagrams per tick.
    const double rate = 1e9;
    const double perSecond = rate / 9600.0;
    const int burst = 16;
    const auto period = std::chrono::nanoseconds(static_cast<long>(burst / perSecond * 1e9));
    const double seconds = 5.0;
    const auto planned = static_cast<std::uint64_t>(seconds * perSecond);
    std::atomic<std::uint64_t> sent{0};
    std::atomic<std::uint64_t> completed{0};
    std::atomic<std::uint64_t> failed{0};
    Clock::time_point first{}, last{};
    Clock::time_point start{};
    ThreadPreciseTimer timer(period, [&] {
        const auto now = Clock::now();
        if (sent == 0) {
            start = now;
        }
        const double elapsed = std::chrono::duration<double>(now - start).count();
        const auto due =
            std::min<std::uint64_t>(planned, static_cast<std::uint64_t>(elapsed * perSecond) + 1);
        if (due <= sent) {
            return;
        }
        const auto n = std::min<std::uint64_t>(due - sent, 64);
        sender->batch([&] {
            for (std::uint64_t i = 0; i < n; ++i) {
                const auto t = Clock::now();
                if (sent == 0) {
                    first = t;
                }
                last = t;
                ++sent;
                sender->send(datagram, [&](std::optional<PlatformError> e) {
                    ++completed;
                    if (e) {
                        ++failed;
                    }
                });
            }
        });
    });
    timer.start();
    while (sent < planned) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    timer.cancel();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const double span = std::chrono::duration<double>(last - first).count();
    const double offered = span > 0 ? (sent - 1) * 9600.0 / span : 0;
    const std::uint64_t got = received - before;
    const std::uint64_t drops = b.call([&] { return flow ? flow->receiveQueueDrops() : 0; });
    std::printf("UDP 1200-byte datagrams, plan 1.000 Gbit/s for %.0f s:\n", seconds);
    std::printf("  offered        %.4f Gbit/s (%.2f %% of plan), %llu sent, %llu send errors\n",
                offered / 1e9, offered / rate * 100, static_cast<unsigned long long>(sent.load()),
                static_cast<unsigned long long>(failed.load()));
    std::printf("  received       %llu (lost %lld), receive-queue drops %llu\n",
                static_cast<unsigned long long>(got),
                static_cast<long long>(sent) - static_cast<long long>(got),
                static_cast<unsigned long long>(drops));
    std::printf("  timer          %llu deadlines coalesced\n",
                static_cast<unsigned long long>(timer.coalescedTicks()));
    std::printf("  buffers        receive %d, send %d bytes granted\n",
                b.call([&] { return flow ? flow->receiveBufferSize() : 0; }),
                sender->sendBufferSize());
    std::printf("  verdict        %s\n",
                (drops == 0 && std::abs(offered / rate - 1) <= 0.01) ? "PASS" : "FAIL");
    a.call([&] {
        sender->cancel();
        return 0;
    });
    b.call([&] {
        listener->cancel();
        if (flow) {
            flow->cancel();
        }
        arm.reset();
        return 0;
    });
}

}  // namespace

int main(int argc, char** argv) {
    // Optional argument: tcp, duplex or udp to run one part only.
    const std::string only = argc > 1 ? argv[1] : "";
    std::string whyNot;
    auto pair = NetnsPair::create(whyNot);
    if (!pair) {
        std::cerr << "cannot make network namespaces: " << whyNot << "\n";
        return 1;
    }
    if (shell("iperf3 --version").find("iperf") == std::string::npos) {
        std::cerr << "iperf3 is missing; run scripts/install-deps.sh\n";
        return 1;
    }
    NetworkInterface ifA, ifB;
    sorvanta::testing::NetnsLab::runIn(pair->nsA,
                                       [&] { ifA = findInterface(pair->link.nameA)->interface; });
    sorvanta::testing::NetnsLab::runIn(pair->nsB,
                                       [&] { ifB = findInterface(pair->link.nameB)->interface; });
    std::printf("veth pair %s/%d <-> %s/%d, %s <-> %s\n", ifA.name.c_str(), ifA.index,
                ifB.name.c_str(), ifB.index, pair->ipv4A.c_str(), pair->ipv4B.c_str());

    // 1. Single stream. The machine may be shared, so the two are measured in alternation,
    // several rounds, and compared by their medians.
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    if (only.empty() || only == "tcp") {
        std::vector<double> reference, layer;
        for (int round = 0; round < rounds; ++round) {
            reference.push_back(iperf(*pair, false).forward);
            NetnsThread a(pair->nsA), b(pair->nsB);
            TcpFlow flow;
            flow.start(a, ifA, b, ifB, pair->ipv4B);
            flow.go(a);
            std::vector<Window> each;
            layer.push_back(measure({&flow}, each).rate());
            flow.finish(a, b);
            std::printf("  round %d: iperf3 %.2f, layer %.2f Gbit/s\n", round + 1,
                        reference.back() / 1e9, layer.back() / 1e9);
        }
        const double r = median(reference);
        const double l = median(layer);
        std::printf("TCP single stream, 10 s, 128 KiB sends, 4 in flight (median of %d):\n",
                    rounds);
        std::printf("  iperf3         %.2f Gbit/s\n", r / 1e9);
        std::printf("  layer          %.2f Gbit/s (%.3f x iperf3) %s\n", l / 1e9, l / r,
                    l >= 0.95 * r ? "PASS" : "FAIL");
    }

    // 2. Both directions at once, one connection each way; each connection runs on its own
    // serial executor, as each transfer engine does.
    if (only.empty() || only == "duplex") {
        const Iperf bidir = iperf(*pair, true);
        {
            NetnsThread aSend(pair->nsA), aReceive(pair->nsA), bSend(pair->nsB),
                bReceive(pair->nsB);
            TcpFlow forward, reverse;
            forward.start(aSend, ifA, bReceive, ifB, pair->ipv4B);
            reverse.start(bSend, ifB, aReceive, ifA, pair->ipv4A);
            forward.go(aSend);
            reverse.go(bSend);
            std::vector<Window> each;
            measure({&forward, &reverse}, each);
            forward.finish(aSend, bReceive);
            reverse.finish(bSend, aReceive);
            const double f = each[0].rate();
            const double r = each[1].rate();
            const double spread = std::abs(f - r) / std::max(f, r);
            std::printf("TCP duplex, one connection each way, 10 s:\n");
            std::printf("  iperf3 --bidir %.2f / %.2f Gbit/s\n", bidir.forward / 1e9,
                        bidir.reverse / 1e9);
            std::printf("  layer          %.2f / %.2f Gbit/s (directions %.1f %% apart) %s\n",
                        f / 1e9, r / 1e9, spread * 100, spread <= 0.2 ? "PASS" : "FAIL");
        }
    }

    // 3. UDP offered load.
    if (only.empty() || only == "udp") {
        udpOfferedLoad(*pair, ifA, ifB);
    }
    return 0;
}
