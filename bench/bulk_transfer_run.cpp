// The TCP data engine across a veth pair between two namespaces, beside iperf3 on the same
// pair in the same run, in alternating rounds (medians reported):
//   1. one stage, one connection (1 s warm-up, 5 s measured) against iperf3's single stream;
//   2. duplex, one engine pair each way at once, against iperf3 --bidir;
//   3. CPU seconds per gigabyte moved, sender and receiver, next to iperf3's own figures.
// Needs root (namespaces) and iperf3. Usage: bulk_transfer_run [rounds] [tbf rate] [seconds] [6]
// A last argument "6" runs both over IPv6 link-local addresses (fe80::…%dev) instead of IPv4.
// With a rate the link is shaped by tbf both ways; the measured window lasts `seconds`. Each
// measured window is announced on stdout with the receiving thread (ours) or process
// (iperf3's server) and its namespace, so that its system calls and ACKs can be watched.

#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engines/bulk_transfer.h"
#include "lab/netns_lab.h"
#include "lab/run_figures.h"
#include "lab/shaped_link.h"
#include "lab/thread_cpu.h"
#include "platform/net/asio_scheduler.h"
#include "platform/system_network_factory.h"

using namespace sorvanta;
using sorvanta::testing::callingThreadCpu;
using sorvanta::testing::jsonNumber;
using sorvanta::testing::median;
using sorvanta::testing::NetnsPair;
using sorvanta::testing::NetnsThread;
using sorvanta::testing::shell;
using sorvanta::testing::ThreadCpu;
using E = BulkTransferEvent;

namespace {

constexpr double warmup = 1.0;
double measured = 5.0;
bool overIpv6 = false;

struct Figures {
    double forward = 0, reverse = 0;  // bits per second
    double senderCpuPerGB = 0, receiverCpuPerGB = 0;
};

// Waits for events of one engine.
struct Waiter {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<BulkTransfer::Event> events;

    template <class T>
    std::optional<T> wait(std::chrono::seconds timeout = std::chrono::seconds(20)) {
        std::unique_lock lock(mutex);
        std::optional<T> found;
        changed.wait_for(lock, timeout, [&] {
            for (const auto& e : events) {
                if (auto* v = std::get_if<T>(&e)) {
                    found = *v;
                    return true;
                }
                if (auto* f = std::get_if<E::Failed>(&e)) {
                    std::fprintf(stderr, "engine failed: %s\n", f->message.c_str());
                    return true;
                }
            }
            return false;
        });
        return found;
    }
};

struct Side {
    NetnsThread* thread;
    AsioScheduler* scheduler;
    NetworkInterface interface;
    std::string peer;
};

struct Engine {
    Side side;
    std::shared_ptr<BulkTransfer> engine;
    std::unique_ptr<Waiter> waiter = std::make_unique<Waiter>();
};

class Rig {
  public:
    // Each engine runs on an executor of its own, as in the program: one io thread per
    // engine (A and B carry the first direction, A2 and B2 the second one of a duplex stage).
    explicit Rig(NetnsPair& pair) : pair_(pair) {
        for (int i = 0; i < 4; ++i) {
            auto& t =
                *threads_.emplace_back(std::make_unique<NetnsThread>(i % 2 ? pair.nsB : pair.nsA));
            schedulers_.push_back(std::make_unique<AsioScheduler>(t.executor()));
            const bool onA = i % 2 == 0;
            sides_.push_back(
                {&t, schedulers_.back().get(),
                 interfaceIn(t, onA ? pair.link.nameA : pair.link.nameB),
                 overIpv6 ? (onA ? pair.ipv6B : pair.ipv6A) : (onA ? pair.ipv4B : pair.ipv4A)});
        }
    }
    ~Rig() {
        for (std::size_t i = 0; i < threads_.size(); ++i) {
            threads_[i]->call([&] { return schedulers_[i].reset(), 0; });
        }
    }

    // One stage with a direction per entry (true: A sends), run to its results.
    Figures stage(const std::vector<bool>& fromA) {
        struct Direction {
            Engine receiver, sender;
            ThreadCpu senderStart, receiverStart;
        };
        std::vector<std::unique_ptr<Direction>> ds;
        for (bool forward : fromA) {
            auto d = std::make_unique<Direction>();
            SpeedPreamble p{Uuid::random(), Uuid::random(), Uuid::random(),
                            std::vector<std::uint8_t>(32, 1), 0};
            const std::size_t pairIndex = ds.size() * 2;  // A, B, then A2, B2
            const Side& a = sides_[pairIndex];
            const Side& b = sides_[pairIndex + 1];
            d->receiver = make(forward ? b : a, true, p);
            d->sender = make(forward ? a : b, false, p);
            on(d->receiver, [](BulkTransfer& t) { t.start(); });
            const auto port = d->receiver.waiter->wait<E::Listening>().value_or(E::Listening{});
            on(d->sender, [port](BulkTransfer& t) { t.start(port.port); });
            ds.push_back(std::move(d));
        }
        for (auto& d : ds) {
            d->receiver.waiter->wait<E::ReceiverReady>();
        }
        for (auto& d : ds) {
            on(d->receiver, [](BulkTransfer& t) { t.startTransfer(); });
            on(d->sender, [](BulkTransfer& t) { t.startTransfer(); });
        }
        for (auto& d : ds) {
            d->receiver.waiter->wait<E::Warmed>();
        }
        for (auto& d : ds) {
            d->senderStart = d->sender.side.thread->call(callingThreadCpu);
            d->receiverStart = d->receiver.side.thread->call(callingThreadCpu);
            if (ds.size() == 1) {
                const auto tid = d->receiver.side.thread->call([] { return ::gettid(); });
                const auto senderTid = d->sender.side.thread->call([] { return ::gettid(); });
                std::printf("measuring ours: receiver thread %d in %s, sender thread %d in %s\n",
                            int(tid), pair_.nsB.c_str(), int(senderTid), pair_.nsA.c_str());
                std::fflush(stdout);
            }
            on(d->receiver, [](BulkTransfer& t) { t.applyMeasurementBarrier(); });
        }
        Figures figures;
        for (std::size_t i = 0; i < ds.size(); ++i) {
            auto& d = *ds[i];
            const auto result = d.receiver.waiter->wait<E::Result>(
                std::chrono::seconds(20 + static_cast<int>(measured)));
            const ThreadCpu senderEnd = d.sender.side.thread->call(callingThreadCpu);
            const ThreadCpu receiverEnd = d.receiver.side.thread->call(callingThreadCpu);
            const double senderCpu = senderEnd.seconds - d.senderStart.seconds;
            const double receiverCpu = receiverEnd.seconds - d.receiverStart.seconds;
            const double rate = result ? result->sample.bitsPerSecond().value_or(0) : 0;
            const long long wakeups = receiverEnd.slices - d.receiverStart.slices;
            const long long senderWakeups = senderEnd.slices - d.senderStart.slices;
            if (ds.size() == 1) {
                std::printf("  receiver thread: %.2f ms/s on CPU, %.0f wake-ups/s\n",
                            receiverCpu * 1e3 / measured, wakeups / measured);
                std::printf("  sender thread: %.2f ms/s on CPU, %.0f wake-ups/s\n",
                            senderCpu * 1e3 / measured, senderWakeups / measured);
            }
            (i == 0 ? figures.forward : figures.reverse) = rate;
            if (result && result->sample.bytes > 0) {
                const double gb = static_cast<double>(result->sample.bytes) / 1e9;
                figures.senderCpuPerGB = senderCpu / gb;
                figures.receiverCpuPerGB = receiverCpu / gb;
            }
        }
        for (auto& d : ds) {
            on(d->receiver, [](BulkTransfer& t) { t.shutdown(); });
            on(d->sender, [](BulkTransfer& t) { t.shutdown(); });
        }
        return figures;
    }

    Figures iperf(bool bidir) {
        const std::string port = std::to_string(5201 + ::getpid() % 1000);
        const std::string bind = overIpv6 ? pair_.ipv6B + "%" + pair_.link.nameB : pair_.ipv4B;
        const std::string target =
            overIpv6 ? "-6 -c " + pair_.ipv6B + "%" + pair_.link.nameA : "-c " + pair_.ipv4B;
        std::thread server([&] {
            shell("ip netns exec " + pair_.nsB + " iperf3 -s -1 -p " + port + " -B " + bind);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        if (!bidir) {
            std::printf("measuring iperf3: server in %s\n", pair_.nsB.c_str());
            std::fflush(stdout);
        }
        const auto json =
            shell("ip netns exec " + pair_.nsA + " iperf3 -J " + target + " -p " + port + " -t " +
                  std::to_string(int(measured)) + " -O " + std::to_string(int(warmup)) +
                  " -l 128K" + (bidir ? " --bidir" : ""));
        server.join();
        Figures f;
        f.forward = jsonNumber(json, "sum_received", "bits_per_second");
        f.reverse = bidir ? jsonNumber(json, "sum_received_bidir_reverse", "bits_per_second") : 0;
        const double gb = jsonNumber(json, "sum_received", "bytes") / 1e9;
        const double seconds = jsonNumber(json, "sum_received", "seconds");
        if (gb > 0) {
            f.senderCpuPerGB =
                jsonNumber(json, "cpu_utilization_percent", "host_total") / 100 * seconds / gb;
            f.receiverCpuPerGB =
                jsonNumber(json, "cpu_utilization_percent", "remote_total") / 100 * seconds / gb;
        }
        if (f.forward == 0) {
            std::fprintf(stderr, "iperf3 gave no figure:\n%s\n", json.substr(0, 1500).c_str());
        }
        return f;
    }

  private:
    static NetworkInterface interfaceIn(NetnsThread& side, const std::string& name) {
        return side.call([&] { return findInterface(name).value().interface; });
    }

    Engine make(Side side, bool receiving, const SpeedPreamble& preamble) {
        Engine e;
        e.side = side;
        BulkTransfer::Settings s;
        s.interface = side.interface;
        s.peerHost = asio::ip::make_address(side.peer);
        s.receiving = receiving;
        s.preamble = preamble;
        s.barrierControlled = true;
        s.warmup = warmup;
        s.measurement = measured;
        auto* waiter = e.waiter.get();
        e.engine = side.thread->call([&] {
            return BulkTransfer::create(side.thread->executor(), factory_, *side.scheduler, s,
                                        [waiter](const BulkTransfer::Event& event) {
                                            {
                                                std::lock_guard lock(waiter->mutex);
                                                waiter->events.push_back(event);
                                            }
                                            waiter->changed.notify_all();
                                        });
        });
        return e;
    }

    template <class F>
    void on(Engine& e, F f) {
        e.side.thread->call([&] { return f(*e.engine), 0; });
    }

    NetnsPair& pair_;
    std::vector<std::unique_ptr<NetnsThread>> threads_;
    std::vector<std::unique_ptr<AsioScheduler>> schedulers_;
    std::vector<Side> sides_;
    SystemNetworkFactory factory_;
};

}  // namespace

int main(int argc, char** argv) {
    std::string whyNot;
    auto pair = NetnsPair::create(whyNot);
    if (!pair) {
        std::fprintf(stderr, "network namespaces unavailable: %s\n", whyNot.c_str());
        return 1;
    }
    if (shell("command -v iperf3").empty()) {
        std::fprintf(stderr, "iperf3 is not installed\n");
        return 1;
    }
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    if (argc > 2 && std::string(argv[2]) != "none") {
        sorvanta::testing::shapeLink(*pair, argv[2]);
    }
    if (argc > 3) {
        measured = std::max(1, std::atoi(argv[3]));
    }
    overIpv6 = argc > 4 && std::string(argv[4]) == "6";
    Rig rig(*pair);
    auto gbit = [](double bps) { return bps / 1e9; };

    std::vector<double> ours, theirs, ourTx, ourRx, theirTx, theirRx;
    for (int round = 0; round < rounds; ++round) {
        // Alternate which goes first, so a drift of the shared machine favours neither.
        Figures i, o;
        if (round % 2 == 0) {
            i = rig.iperf(false), o = rig.stage({true});
        } else {
            o = rig.stage({true}), i = rig.iperf(false);
        }
        theirs.push_back(i.forward), ours.push_back(o.forward);
        theirTx.push_back(i.senderCpuPerGB), theirRx.push_back(i.receiverCpuPerGB);
        ourTx.push_back(o.senderCpuPerGB), ourRx.push_back(o.receiverCpuPerGB);
        std::printf("  round %d: iperf3 %.2f, engine %.2f Gbit/s\n", round + 1, gbit(i.forward),
                    gbit(o.forward));
    }
    std::printf("Single connection, %.0f s measured after %.0f s (median of %d):\n", measured,
                warmup, rounds);
    std::printf("  iperf3 %.2f Gbit/s, engine %.2f Gbit/s, ratio %.2f (target >= 1.0)\n",
                gbit(median(theirs)), gbit(median(ours)), median(ours) / median(theirs));
    std::printf("  CPU s/GB sender: engine %.3f, iperf3 %.3f; receiver: engine %.3f, iperf3 %.3f\n",
                median(ourTx), median(theirTx), median(ourRx), median(theirRx));

    if (argc > 2) {
        return 0;  // a shaped or lengthened run compares the single connection only
    }
    std::vector<double> fwd, rev, sum, isum, balance;
    for (int round = 0; round < rounds; ++round) {
        Figures i, o;
        if (round % 2 == 0) {
            i = rig.iperf(true), o = rig.stage({true, false});
        } else {
            o = rig.stage({true, false}), i = rig.iperf(true);
        }
        fwd.push_back(o.forward), rev.push_back(o.reverse);
        sum.push_back(o.forward + o.reverse), isum.push_back(i.forward + i.reverse);
        balance.push_back(std::min(o.forward, o.reverse) / std::max(o.forward, o.reverse));
        std::printf("  round %d: iperf3 --bidir %.2f + %.2f, engine %.2f + %.2f Gbit/s\n",
                    round + 1, gbit(i.forward), gbit(i.reverse), gbit(o.forward), gbit(o.reverse));
    }
    std::printf(
        "Duplex (median of %d): engine %.2f + %.2f = %.2f Gbit/s, balance %.2f (target "
        ">= 0.9); iperf3 --bidir sum %.2f, ratio %.2f (target >= 0.9)\n",
        rounds, gbit(median(fwd)), gbit(median(rev)), gbit(median(sum)), median(balance),
        gbit(median(isum)), median(sum) / median(isum));
    return 0;
}
