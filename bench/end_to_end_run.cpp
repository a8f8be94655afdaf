// Whole Quick Tests between two copies of the service in namespaces joined by a veth pair,
// started as a click starts them, alternating round by round with iperf3 forward, reverse
// and --bidir on the same link over the same address family and scope as the Quick Test
// (IPv6 link-local, fe80::…%dev). Prints each stage's median and range beside iperf3's, the
// duplex balance, CPU seconds per gigabyte of each host's sending and receiving side, the
// goals and whether each was met, and the wall time from the click to the verdict with the
// share of each phase. Needs root, tc and iperf3.
// Usage: end_to_end_run [tbf rate: 100mbit, 1gbit, 2500mbit…; "none" unshaped] [rounds]
//                      [--threads: also each thread's ms/s over each round's measured windows,
//                       by name and then by thread id with its wake-ups per second]
//
// CPU: our figure is the on-CPU time (schedstat) of every thread of this process working in
// the host's namespace (service, sequencer, engines), over the stage's measured window;
// iperf3's is its own per-process figure (getrusage) from its JSON report. Both are divided
// by the rate over the window, so warm-up does not count for either.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "e2e/e2e_node.h"
#include "lab/bench_arguments.h"
#include "lab/run_figures.h"
#include "lab/shaped_link.h"
#include "lab/thread_cpu.h"

using namespace sorvanta;
using namespace sorvanta::testing;
using Steady = std::chrono::steady_clock;

namespace {

const char* phaseName(SpeedSnapshot::Phase phase) {
    static const char* names[] = {"idle",    "checking", "preparing", "warming", "measuring",
                                  "quality", "complete", "cancelled", "failed"};
    return names[static_cast<int>(phase)];
}

// On-CPU seconds of these threads, summed by the network namespace they work in.
std::map<ino_t, double> byNamespace(const std::map<std::string, ThreadCpu>& threads) {
    std::map<ino_t, double> seconds;
    for (const auto& [id, thread] : threads) {
        seconds[thread.ns] += thread.seconds;
    }
    return seconds;
}

// Each thread's on-CPU milliseconds per second between two readings, by host and thread
// name (threads of one name summed), for the hosts' namespaces only; then each thread that
// ran in the window on its own, by id, with its wake-ups per second, so that threads of one
// name (the io threads) are told apart.
void printThreads(const char* window, const std::map<std::string, ThreadCpu>& before,
                  const std::map<std::string, ThreadCpu>& after, double seconds, ino_t nsA,
                  ino_t nsB) {
    struct Use {
        std::string id;
        double cpu = 0;
        long long slices = 0;
        bool born = false;  // started within the window
    };
    std::map<std::string, double> used;
    std::map<std::string, std::vector<Use>> each;
    for (const auto& [id, thread] : after) {
        if (thread.ns != nsA && thread.ns != nsB) {
            continue;
        }
        const auto old = before.find(id);
        const bool born = old == before.end();
        const std::string name = std::string(thread.ns == nsA ? "A " : "B ") + thread.name;
        const double cpu = thread.seconds - (born ? 0 : old->second.seconds);
        used[name] += cpu;
        if (cpu > 0) {
            each[name].push_back(
                {id, cpu, thread.slices - (born ? 0 : old->second.slices), born});
        }
    }
    std::printf("  %s window, %.1f s, on-CPU ms/s:", window, seconds);
    for (const auto& [name, value] : used) {
        std::printf(" %s %.3f;", name.c_str(), value / seconds * 1e3);
    }
    std::printf("\n    by thread (ms/s, wake-ups/s):");
    for (const auto& [name, threads] : each) {
        for (const auto& use : threads) {
            std::printf(" %s[%s%s] %.3f, %.0f;", name.c_str(), use.id.c_str(),
                        use.born ? " new" : "", use.cpu / seconds * 1e3, use.slices / seconds);
        }
    }
    std::printf("\n");
}

// What one Quick Test measured: the four directions in bits per second and, for the two
// single-direction stages, each host's CPU over the measured window per gigabyte.
struct QuickRound {
    std::array<double, 4> rate{};
    std::vector<double> senderCpu, receiverCpu;
    double wall = 0;
    std::map<std::string, double> share;
    bool complete = false;
};

double stageRate(const SpeedSnapshot& speed, std::size_t stage, std::size_t direction) {
    if (stage >= speed.stages.size() || direction >= speed.stages[stage].directions.size()) {
        return 0;
    }
    const auto& sample = speed.stages[stage].directions[direction].sample;
    return sample ? sample->bitsPerSecond().value_or(0) : 0;
}

QuickRound quickTest(NetnsPair& pair, std::uint64_t link, bool threadFigures) {
    QuickRound round;
    E2eNode a(pair.nsA, pair.link.nameA, pair.link.indexA, "Desk", {true, link, true});
    E2eNode b(pair.nsB, pair.link.nameB, pair.link.indexB, "Studio", {true, link, true});
    a.start();
    b.start();
    if (!a.waitFor(readyAndArmed, 30) || !b.waitFor(readyAndArmed, 30)) {
        std::fprintf(stderr, "not ready: %s / %s\n", a.snapshot().status.c_str(),
                     b.snapshot().status.c_str());
        return round;
    }
    const ino_t nsA = inodeOf("/run/netns/" + pair.nsA);
    const ino_t nsB = inodeOf("/run/netns/" + pair.nsB);
    // The click, then the time spent in each phase until both sides have a verdict; CPU at
    // the edges of each measured window.
    const auto click = Steady::now();
    a.service().startQuickTest(QuickProfile::quick);
    auto last = click;
    std::string phase = "click";
    std::vector<std::pair<Steady::time_point, std::map<std::string, ThreadCpu>>> edges;
    bool measuring = false;
    while (Steady::now() - click < std::chrono::seconds(150)) {
        const ServiceSnapshot s = a.snapshot();
        const auto now = Steady::now();
        round.share[phase] += std::chrono::duration<double>(now - last).count();
        last = now;
        phase = s.speed.run ? phaseName(s.speed.phase) : "click";
        const bool nowMeasuring = s.speed.phase == SpeedSnapshot::Phase::measuring;
        if (nowMeasuring != measuring) {
            edges.emplace_back(now, threadCpu());
            measuring = nowMeasuring;
        }
        if (runEnded(s) && runEnded(b.snapshot())) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    round.wall = std::chrono::duration<double>(Steady::now() - click).count();
    const SpeedSnapshot final = a.snapshot().speed;
    round.complete = final.phase == SpeedSnapshot::Phase::complete;
    for (std::size_t i = 0; i < 4; ++i) {
        round.rate[i] = stageRate(final, i < 2 ? i : 2, i < 2 ? 0 : i - 2);
    }
    // Windows 0 and 1: forward (A sends) and reverse (B sends).
    for (std::size_t stage = 0; stage < 2 && 2 * stage + 1 < edges.size(); ++stage) {
        const auto& [t0, threads0] = edges[2 * stage];
        const auto& [t1, threads1] = edges[2 * stage + 1];
        const auto cpu0 = byNamespace(threads0), cpu1 = byNamespace(threads1);
        const double seconds = std::chrono::duration<double>(t1 - t0).count();
        if (threadFigures && seconds > 0) {
            printThreads(stage == 0 ? "forward (A sends)" : "reverse (B sends)", threads0,
                         threads1, seconds, nsA, nsB);
        }
        const double gigabytesPerSecond = round.rate[stage] / 8 / 1e9;
        if (seconds <= 0 || gigabytesPerSecond <= 0) {
            continue;
        }
        auto used = [&](ino_t ns) {
            const auto before = cpu0.find(ns);
            const auto after = cpu1.find(ns);
            const double start = before == cpu0.end() ? 0 : before->second;
            return after == cpu1.end() ? 0 : (after->second - start) / seconds;
        };
        const ino_t sender = stage == 0 ? nsA : nsB, receiver = stage == 0 ? nsB : nsA;
        round.senderCpu.push_back(used(sender) / gigabytesPerSecond);
        round.receiverCpu.push_back(used(receiver) / gigabytesPerSecond);
    }
    return round;
}

struct IperfRound {
    std::array<double, 4> rate{};
    std::vector<double> senderCpu, receiverCpu;
};

IperfRound iperf(NetnsPair& pair) {
    const std::string port = std::to_string(5201 + ::getpid() % 1000);
    const std::string server = "ip netns exec " + pair.nsB + " iperf3 -s -1 -p " + port;
    const std::string client = "ip netns exec " + pair.nsA + " iperf3 -6 -J -t 10 -O 2 -p " +
                               port + " -c " + pair.ipv6B + "%" + pair.link.nameA;
    auto run = [&](const std::string& flags) {
        std::thread serverThread([&] { shell(server); });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const std::string json = shell(client + " " + flags);
        serverThread.join();
        if (jsonNumber(json, "sum_received", "bits_per_second") == 0) {
            std::fprintf(stderr, "iperf3 %s gave no figure:\n%s\n", flags.c_str(),
                         json.substr(0, 1500).c_str());
        }
        return json;
    };
    IperfRound round;
    const std::string forward = run(""), reverse = run("-R"), bidir = run("--bidir");
    round.rate = {jsonNumber(forward, "sum_received", "bits_per_second"),
                  jsonNumber(reverse, "sum_received", "bits_per_second"),
                  jsonNumber(bidir, "sum_received", "bits_per_second"),
                  jsonNumber(bidir, "sum_received_bidir_reverse", "bits_per_second")};
    // The client is the sender forward and the receiver with -R.
    for (const auto* json : {&forward, &reverse}) {
        const double gigabytesPerSecond = jsonNumber(*json, "sum_received", "bytes") / 1e9 /
                                          jsonNumber(*json, "sum_received", "seconds");
        if (!(gigabytesPerSecond > 0)) {
            continue;
        }
        const double client = jsonNumber(*json, "cpu_utilization_percent", "host_total") / 100;
        const double server = jsonNumber(*json, "cpu_utilization_percent", "remote_total") / 100;
        const bool clientSends = json == &forward;
        round.senderCpu.push_back((clientSends ? client : server) / gigabytesPerSecond);
        round.receiverCpu.push_back((clientSends ? server : client) / gigabytesPerSecond);
    }
    return round;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string rate = argc > 1 ? argv[1] : "1gbit";
    const int rounds = countArgument(argc, argv, 2, 5);
    const bool threadFigures = argc > 3 && std::string(argv[3]) == "--threads";
    auto pair = benchPair();
    if (!pair) {
        return 1;
    }
    if (rate != "none") {
        shapeLink(*pair, rate);
    }
    const std::uint64_t link = rate == "100mbit"    ? 100'000'000
                               : rate == "1gbit"    ? 1'000'000'000
                               : rate == "2500mbit" ? 2'500'000'000
                                                    : 10'000'000'000;
    // Both tools use the system's default congestion control; under BBR a duplex stage
    // through this FIFO shaper often settles with one direction about 2 % under the other,
    // and which one is chance, so the duplex sum is printed beside the per-direction figures.
    const std::string congestion =
        shell("ip netns exec " + pair->nsA + " sysctl -n net.ipv4.tcp_congestion_control");
    std::printf("TCP congestion control: %s\n",
                congestion.empty() ? "unknown"
                                   : congestion.substr(0, congestion.find('\n')).c_str());
    std::array<std::vector<double>, 4> ours, theirs, ratios;
    std::vector<double> ourDuplexSum, theirDuplexSum;
    std::vector<double> balance, ourTx, ourRx, theirTx, theirRx, wall;
    std::map<std::string, std::vector<double>> shares;
    for (int round = 0; round < rounds; ++round) {
        // Alternate which goes first, so a drift of the shared machine favours neither.
        QuickRound q;
        IperfRound i;
        if (round % 2 == 0) {
            q = quickTest(*pair, link, threadFigures), i = iperf(*pair);
        } else {
            i = iperf(*pair), q = quickTest(*pair, link, threadFigures);
        }
        std::printf("round %d (%s first): Quick Test %s", round + 1,
                    round % 2 ? "iperf3" : "Quick Test", q.complete ? "" : "INCOMPLETE ");
        for (std::size_t d = 0; d < 4; ++d) {
            ours[d].push_back(q.rate[d]);
            theirs[d].push_back(i.rate[d]);
            if (i.rate[d] > 0) {
                ratios[d].push_back(q.rate[d] / i.rate[d]);
            }
            std::printf("%s%.1f", d ? " / " : "", q.rate[d] / 1e6);
        }
        std::printf(" Mbit/s; iperf3 %.1f / %.1f / %.1f / %.1f\n", i.rate[0] / 1e6,
                    i.rate[1] / 1e6, i.rate[2] / 1e6, i.rate[3] / 1e6);
        std::fflush(stdout);
        if (q.rate[2] > 0 && q.rate[3] > 0 && i.rate[2] > 0 && i.rate[3] > 0) {
            ourDuplexSum.push_back(q.rate[2] + q.rate[3]);
            theirDuplexSum.push_back(i.rate[2] + i.rate[3]);
        }
        if (q.rate[2] > 0 && q.rate[3] > 0) {
            balance.push_back(std::min(q.rate[2], q.rate[3]) / std::max(q.rate[2], q.rate[3]));
        }
        ourTx.insert(ourTx.end(), q.senderCpu.begin(), q.senderCpu.end());
        ourRx.insert(ourRx.end(), q.receiverCpu.begin(), q.receiverCpu.end());
        theirTx.insert(theirTx.end(), i.senderCpu.begin(), i.senderCpu.end());
        theirRx.insert(theirRx.end(), i.receiverCpu.begin(), i.receiverCpu.end());
        wall.push_back(q.wall);
        for (const auto& [name, seconds] : q.share) {
            shares[name].push_back(seconds);
        }
    }

    std::printf("\nlink %s, %d alternating rounds, both over IPv6 link-local; median [range]\n",
                rate.c_str(), rounds);
    const char* names[4] = {"forward", "reverse", "duplex A-B", "duplex B-A"};
    std::printf("%-11s %-30s %-30s %s\n", "stage", "Quick Test Mbit/s", "iperf3 Mbit/s",
                "ratio of medians [per-round range]");
    for (int d = 0; d < 4; ++d) {
        std::printf("%-11s %-30s %-30s %.3f [%s]\n", names[d], spread(ours[d], 1e6, "%.1f").c_str(),
                    spread(theirs[d], 1e6, "%.1f").c_str(),
                    median(theirs[d]) > 0 ? median(ours[d]) / median(theirs[d]) : 0.0,
                    spread(ratios[d], 1, "%.3f", false).c_str());
    }
    std::printf("%-11s %-30s %-30s %.3f\n", "duplex sum",
                spread(ourDuplexSum, 1e6, "%.1f").c_str(),
                spread(theirDuplexSum, 1e6, "%.1f").c_str(),
                median(theirDuplexSum) > 0 ? median(ourDuplexSum) / median(theirDuplexSum) : 0.0);
    std::printf("duplex balance (slower/faster): %s\n", spread(balance, 1, "%.3f").c_str());
    std::printf("CPU s/GB sender:   Quick Test %s, iperf3 %s\n", spread(ourTx, 1, "%.3f").c_str(),
                spread(theirTx, 1, "%.3f").c_str());
    std::printf("CPU s/GB receiver: Quick Test %s, iperf3 %s\n", spread(ourRx, 1, "%.3f").c_str(),
                spread(theirRx, 1, "%.3f").c_str());
    std::printf("wall time from click to both verdicts: %s s\n", spread(wall, 1, "%.2f").c_str());
    for (const auto& [name, seconds] : shares) {
        std::printf("  %-10s %s s\n", name.c_str(), spread(seconds, 1, "%.2f").c_str());
    }

    auto ratio = [&](int d) { return median(theirs[d]) > 0 ? median(ours[d]) / median(theirs[d]) : 0; };
    auto goal = [](const char* what, double value, double bound, bool atMost = false) {
        const bool met = atMost ? value <= bound : value >= bound;
        std::printf("  %-58s %.3f %s %.3f  %s\n", what, value, atMost ? "<=" : ">=", bound,
                    met ? "met" : "NOT MET");
    };
    std::printf("goals:\n");
    if (rate == "none") {
        goal("forward against iperf3's single stream", ratio(0), 0.97);
        goal("reverse against iperf3's single stream (-R)", ratio(1), 0.97);
        goal("duplex A-B against the same direction of --bidir", ratio(2), 0.9);
        goal("duplex B-A against the same direction of --bidir", ratio(3), 0.9);
        goal("duplex balance", median(balance), 0.9);
    } else {
        for (int d = 0; d < 4; ++d) {
            goal((std::string(names[d]) + " within 1 % of iperf3").c_str(), ratio(d), 0.99);
        }
    }
    goal("CPU s/GB sender, Quick Test against iperf3", median(ourTx), median(theirTx), true);
    goal("CPU s/GB receiver, Quick Test against iperf3", median(ourRx), median(theirRx), true);
    return 0;
}
