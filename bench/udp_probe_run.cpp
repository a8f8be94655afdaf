// UDP probe legs (3 s each) on the probe engines across a veth pair between two namespaces,
// for link capacities of 1, 2.5, 5 and 10 Gbit/s (the engine offers 75 % of each), in rounds
// that take each capacity in turn, then more legs at 1 Gbit/s until 20 have run there. Per
// leg: the rate offered against the plan, datagrams lost, drops in the receiving socket's
// queue, lost datagrams those drops do not account for, drops in the CPUs' input backlogs,
// pacing ticks more than 1 ms late, slots dropped by the pacer, the sender timer's lateness
// while sending, the receiver's largest gap between receive checks and the time the
// hypervisor took from the receiver's CPUs (steal). Then per
// capacity the medians and ranges, the pooled lateness and receive-check intervals (median,
// p99, largest), and each goal with whether it was met.
//
// Usage: udp_probe_run [--rounds N] [--unprivileged] [capacities in Gbit/s …]
// --unprivileged runs both engines as the user nobody with a desktop's default socket-buffer
// limit (212,992 bytes): the forced buffer sizes are refused and the plain ones are capped.
// The two sides run on separate halves of the CPUs unless UDP_PROBE_SHARED_CPUS is set;
// UDP_PROBE_SEGMENT_AT_LINK (see below).
#include <dlfcn.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "lab/run_figures.h"
#include "lab/tick_recording_factory.h"
#include "lab/udp_probe_leg.h"
#include "platform/net/prompt_wakeups.h"

using namespace sorvanta;
using namespace std::chrono_literals;
using sorvanta::testing::NetnsPair;
using sorvanta::testing::NetnsThread;
using sorvanta::testing::quantile;
using sorvanta::testing::TickRecordingFactory;
using sorvanta::testing::UdpProbeLeg;

namespace {

// A desktop's limits: Debian's net.core.rmem_max and wmem_max. The sysctls are read-only
// inside a network namespace, so the unprivileged run applies them here, as the kernel would.
constexpr int defaultBufferLimit = 212992;
std::atomic<bool> defaultLimits{false};

}  // namespace

// Every setsockopt of this program passes here (the engines are linked in).
extern "C" int setsockopt(int fd, int level, int name, const void* value, socklen_t length) {
    using Real = int (*)(int, int, int, const void*, socklen_t);
    static const auto real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "setsockopt"));
    if (defaultLimits && level == SOL_SOCKET) {
        if (name == SO_RCVBUFFORCE || name == SO_SNDBUFFORCE) {
            errno = EPERM;
            return -1;
        }
        if ((name == SO_RCVBUF || name == SO_SNDBUF) && length == sizeof(int)) {
            int capped = 0;
            std::memcpy(&capped, value, sizeof capped);
            capped = std::min(capped, defaultBufferLimit);
            return real(fd, level, name, &capped, length);
        }
    }
    return real(fd, level, name, value, length);
}

namespace {

// Packets dropped because a CPU's input backlog was full, summed over the CPUs (the second
// column of softnet_stat, in hexadecimal).
long backlogDrops() {
    std::ifstream stat("/proc/net/softnet_stat");
    std::string line;
    long total = 0;
    while (std::getline(stat, line)) {
        std::istringstream fields(line);
        std::string processed, dropped;
        if (fields >> processed >> dropped) {
            total += std::stol(dropped, nullptr, 16);
        }
    }
    return total;
}

// Time the hypervisor ran something else while these CPUs wanted to run (steal), in seconds
// summed over them; `cpus` empty: over all.
double stealSeconds(const std::vector<int>& cpus) {
    std::ifstream stat("/proc/stat");
    std::string line;
    double total = 0;
    const double tick = static_cast<double>(::sysconf(_SC_CLK_TCK));
    while (std::getline(stat, line)) {
        if (line.rfind("cpu", 0) != 0 || line.size() < 4 || line[3] == ' ') {
            continue;
        }
        std::istringstream fields(line.substr(3));
        int cpu = -1;
        long long value = 0, steal = 0;
        fields >> cpu;
        for (int column = 0; column < 8 && fields >> value; ++column) {
            steal = value;  // the eighth column
        }
        if (cpus.empty() || std::find(cpus.begin(), cpus.end(), cpu) != cpus.end()) {
            total += static_cast<double>(steal) / tick;
        }
    }
    return total;
}

// UDP receive-buffer errors of the calling thread's network namespace.
long receiveBufferErrors() {
    std::ifstream snmp("/proc/thread-self/net/snmp");
    std::string line, header;
    while (std::getline(snmp, line)) {
        if (line.rfind("Udp:", 0) != 0) {
            continue;
        }
        if (header.empty()) {
            header = line;
            continue;
        }
        std::istringstream names(header), values(line);
        std::string name, value;
        while (names >> name && values >> value) {
            if (name == "RcvbufErrors") {
                return std::stol(value);
            }
        }
    }
    return -1;
}

// Drops the calling thread (only it: the raw calls, not the C library's process-wide ones)
// to the user nobody, without capabilities; threads it starts inherit that.
bool becomeNobody() {
    constexpr long nobody = 65534;
    return ::syscall(SYS_setgroups, 0, nullptr) == 0 &&
           ::syscall(SYS_setresgid, nobody, nobody, nobody) == 0 &&
           ::syscall(SYS_setresuid, nobody, nobody, nobody) == 0;
}

struct Leg {
    double offeredShare = 0;  // of plan, percent
    long lost = 0, queueDrops = 0, lateTicks = 0, discarded = 0, overruns = 0;
    // Lost datagrams the receiver could not put down to its socket's queue (each queue drop
    // counted above is one entry, which may hold a coalesced burst of datagrams), and packets
    // dropped from any CPU's input backlog meanwhile.
    long elsewhere = 0, backlog = 0;
    double steal = 0;  // seconds of steal on the receiver's CPUs during the leg
    // An overrun with no late check: a datagram waited in the socket beyond the bound.
    bool lateTakeUp = false;
    double largestCheckGap = 0;  // seconds, from the observation
    std::vector<double> lateness, intervals, durations, callIntervals;
};

struct Capacity {
    std::vector<Leg> legs;
    long failures = 0;
};

std::string spread(const std::vector<double>& values, const char* format) {
    char text[128];
    const std::string f = std::string(format) + " [" + format + " … " + format + "]";
    std::snprintf(text, sizeof text, f.c_str(), quantile(values, 0.5),
                  *std::min_element(values.begin(), values.end()),
                  *std::max_element(values.begin(), values.end()));
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<double> capacities;
    std::vector<int> receiverCpus;  // all when the sides share them
    int rounds = 5;
    constexpr int overrunLegs = 20;
    bool unprivileged = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--rounds" && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else if (argument == "--unprivileged") {
            unprivileged = true;
        } else {
            capacities.push_back(std::atof(argv[i]));
        }
    }
    if (capacities.empty()) {
        capacities = {1, 2.5, 5, 10};
    }
    std::string whyNot;
    auto pair = NetnsPair::create(whyNot);
    if (!pair) {
        std::fprintf(stderr, "cannot make network namespaces: %s\n", whyNot.c_str());
        return 1;
    }
    NetnsThread a(pair->nsA), b(pair->nsB);
    // A veth carries a segmented send across whole; UDP_PROBE_SEGMENT_AT_LINK makes the kernel
    // segment it before the link instead, as for a card without segmentation offload.
    if (std::getenv("UDP_PROBE_SEGMENT_AT_LINK") != nullptr) {
        pair->lab.ip(pair->nsA, "link set dev " + pair->link.nameA + " gso_max_segs 1");
    }
    // On veth the kernel's receive path runs inside the sender's send call, and both engines
    // share this machine's CPUs; on a real link each side has its own host. So the sides'
    // threads (and the threads they start, which inherit this) get separate halves of the
    // CPUs, and the receiving device's packets are processed on the receiver's half.
    if (std::getenv("UDP_PROBE_SHARED_CPUS") == nullptr) {
        cpu_set_t all;
        CPU_ZERO(&all);
        if (::sched_getaffinity(0, sizeof all, &all) == 0 && CPU_COUNT(&all) >= 4) {
            cpu_set_t halves[2];
            CPU_ZERO(&halves[0]);
            CPU_ZERO(&halves[1]);
            unsigned long receiverMask = 0;
            for (int cpu = 0, seen = 0; cpu < CPU_SETSIZE; ++cpu) {
                if (CPU_ISSET(cpu, &all)) {
                    const bool second = seen++ >= CPU_COUNT(&all) / 2;
                    CPU_SET(cpu, &halves[second ? 1 : 0]);
                    if (second) {
                        receiverCpus.push_back(cpu);
                    }
                    if (second && cpu < 64) {
                        receiverMask |= 1UL << cpu;
                    }
                }
            }
            a.call([&] { return ::sched_setaffinity(0, sizeof halves[0], &halves[0]); });
            b.call([&] { return ::sched_setaffinity(0, sizeof halves[1], &halves[1]); });
            char command[256];
            std::snprintf(command, sizeof command,
                          "ip netns exec %s sh -c 'echo %lx > "
                          "/sys/class/net/%s/queues/rx-0/rps_cpus'",
                          pair->nsB.c_str(), receiverMask, pair->link.nameB.c_str());
            if (std::system(command) != 0) {
                std::fprintf(stderr, "could not steer the receiving device's packets\n");
            }
        }
    }
    const auto ifA = a.call([&] { return findInterface(pair->link.nameA)->interface; });
    const auto ifB = b.call([&] { return findInterface(pair->link.nameB)->interface; });
    if (unprivileged) {
        defaultLimits = true;
        if (!a.call(becomeNobody) || !b.call(becomeNobody)) {
            std::fprintf(stderr, "could not become the user nobody\n");
            return 1;
        }
        std::printf("both engines as the user nobody, socket buffers limited to %d bytes\n",
                    defaultBufferLimit);
    } else {
        std::printf("both engines as root, forced socket buffers\n");
    }
    // What the receiver's tick thread gets when it asks for prompt wake-ups (a thread started
    // from the receiver's side has its rights).
    const auto wakeups = b.call([] {
        WakeupPriority got = WakeupPriority::ordinary;
        std::thread([&] { got = setPromptWakeups(true); }).join();
        return got;
    });
    std::printf("receiver tick thread: %s wake-ups\n", toString(wakeups));
    auto factory = std::make_shared<TickRecordingFactory>(std::make_shared<SystemNetworkFactory>());
    std::map<double, Capacity> results;
    auto runLeg = [&](double gbit) {
        factory->clear();
        const long dropsBefore = b.call([] { return receiveBufferErrors(); });
        const long backlogBefore = backlogDrops();
        const double stealBefore = stealSeconds(receiverCpus);
        std::optional<UDPTransfer::Result> result;
        std::optional<UDPTransfer::Failed> failed;
        {
            UdpProbeLeg leg({&a, ifA, asio::ip::make_address(pair->ipv4A)},
                            {&b, ifB, asio::ip::make_address(pair->ipv4B)}, gbit * 1e9, 3.0,
                            factory);
            leg.start();
            result = leg.awaitFrom<UDPTransfer::Result>(leg.receiverEvents, 15s);
            if (!result) {
                failed = leg.awaitFrom<UDPTransfer::Failed>(leg.senderEvents, 0ms);
                if (!failed) {
                    failed = leg.awaitFrom<UDPTransfer::Failed>(leg.receiverEvents, 0ms);
                }
            }
        }  // both engines end here: their timers stop before the ticks are read
        const long drops = b.call([] { return receiveBufferErrors(); }) - dropsBefore;
        const long backlog = backlogDrops() - backlogBefore;
        const double steal = stealSeconds(receiverCpus) - stealBefore;
        if (!result) {
            std::printf("%8.1fG  no result%s%s\n", gbit, failed ? ": " : "",
                        failed ? failed->reason.c_str() : "");
            ++results[gbit].failures;
            return;
        }
        const auto& o = result->observation;
        const double plan = std::min(gbit * 1e9 * 0.75, 1e6 * 9600.0);
        const double offered = static_cast<double>(o.send.accepted) * 9600.0 / o.send.seconds;
        Leg leg;
        leg.offeredShare = 100.0 * offered / plan;
        leg.lost = static_cast<long>(o.send.accepted - o.unique);
        leg.queueDrops = drops;
        leg.elsewhere = o.unexplainedHoles.value_or(-1);
        leg.backlog = backlog;
        leg.steal = steal;
        leg.lateTicks = static_cast<long>(o.send.pacingGaps);
        leg.discarded = static_cast<long>(o.send.discardedSlots);
        leg.overruns = static_cast<long>(o.receiverOverruns);
        leg.lateTakeUp = o.receiverOverruns > 0 && o.receiveCoverage &&
                         o.receiveCoverage->delayedChecks == 0;
        leg.largestCheckGap = o.receiveCoverage ? o.receiveCoverage->maximumGap : -1.0;
        // The receiver's timer is the one asked for prompt wake-ups.
        for (const auto& ticks : factory->ticks()) {
            if (ticks.prompt) {
                leg.intervals = ticks.intervals;
                leg.durations = ticks.durations;
                leg.callIntervals = ticks.callIntervals;
            } else {
                leg.lateness = ticks.exactLateness;
            }
        }
        std::printf("%8.1fG %12.1f %12.1f %6.2f%% %7ld %7ld %7ld %5ld %6ld %8ld %9.2f %9.2f %9.2f "
                    "%5ld %6.0f\n",
                    gbit, plan / 1e6, offered / 1e6, leg.offeredShare, leg.lost, leg.queueDrops,
                    leg.elsewhere, leg.backlog, leg.lateTicks, leg.discarded,
                    quantile(leg.lateness, 0.5) * 1e6, quantile(leg.lateness, 0.99) * 1e6,
                    leg.largestCheckGap * 1e3, leg.overruns, leg.steal * 1e3);
        std::fflush(stdout);
        results[gbit].legs.push_back(std::move(leg));
    };
    // rcvq: entries the receiving socket's full queue dropped (an entry may be a coalesced
    // burst); else: lost datagrams not put down to those drops; bklg: packets dropped from a
    // CPU's input backlog; steal: ms the hypervisor took from the receiver's CPUs.
    std::printf("%9s %12s %12s %7s %7s %7s %7s %5s %6s %8s %9s %9s %9s %5s %6s\n", "capacity",
                "plan Mbit/s", "offered", "of plan", "lost", "rcvq", "else", "bklg", "late",
                "dropped", "late µs", "late p99", "check ms", "ovrn", "steal");
    for (int round = 0; round < rounds; ++round) {
        for (const double gbit : capacities) {
            runLeg(gbit);
        }
    }
    // The overrun goal counts legs at 1 Gbit/s.
    const bool hasOne = std::find(capacities.begin(), capacities.end(), 1.0) != capacities.end();
    while (hasOne && static_cast<int>(results[1.0].legs.size() + results[1.0].failures) <
                         overrunLegs) {
        runLeg(1.0);
    }

    std::printf("\nper capacity: median [least … most] over legs; timer lateness while sending "
                "and receive-check intervals pooled over the legs\n");
    for (const auto& [gbit, capacity] : results) {
        if (capacity.legs.empty()) {
            std::printf("%5.1fG: no leg completed (%ld failed)\n", gbit, capacity.failures);
            continue;
        }
        std::vector<double> offered, discarded, lateness, intervals, durations, calls;
        long lost = 0, drops = 0, overruns = 0, lateTakeUps = 0, elsewhere = 0, backlog = 0;
        double largestGap = 0, steal = 0;
        for (const auto& leg : capacity.legs) {
            offered.push_back(leg.offeredShare);
            discarded.push_back(static_cast<double>(leg.discarded));
            lateness.insert(lateness.end(), leg.lateness.begin(), leg.lateness.end());
            intervals.insert(intervals.end(), leg.intervals.begin(), leg.intervals.end());
            durations.insert(durations.end(), leg.durations.begin(), leg.durations.end());
            calls.insert(calls.end(), leg.callIntervals.begin(), leg.callIntervals.end());
            lost += leg.lost;
            drops += leg.queueDrops;
            elsewhere += std::max(0L, leg.elsewhere);
            backlog += leg.backlog;
            steal += leg.steal;
            overruns += leg.overruns;
            lateTakeUps += leg.lateTakeUp ? 1 : 0;
            largestGap = std::max(largestGap, leg.largestCheckGap);
        }
        std::printf("%5.1fG, %zu legs%s: offered %s %% of plan; lost %ld (%ld not put down to "
                    "the receiving socket's queue), receive-queue drops %ld entries, backlog "
                    "drops %ld; slots dropped %s; steal on the receiver's CPUs %.0f ms\n",
                    gbit, capacity.legs.size(),
                    capacity.failures ? (", " + std::to_string(capacity.failures) + " failed").c_str()
                                      : "",
                    spread(offered, "%.2f").c_str(), lost, elsewhere, drops, backlog,
                    spread(discarded, "%.0f").c_str(), steal * 1e3);
        std::printf("        timer lateness while sending: median %.1f µs, p99 %.1f µs, largest "
                    "%.1f µs (%zu ticks)\n",
                    quantile(lateness, 0.5) * 1e6, quantile(lateness, 0.99) * 1e6,
                    lateness.empty() ? 0.0 : *std::max_element(lateness.begin(), lateness.end()) * 1e6,
                    lateness.size());
        std::printf("        receive-check intervals: median %.3f ms, p99 %.3f ms, largest %.3f ms "
                    "(%zu intervals; largest in the observations %.3f ms); overruns in %ld of "
                    "%zu legs (%ld of them a datagram taken up late, no check late)\n",
                    quantile(intervals, 0.5) * 1e3, quantile(intervals, 0.99) * 1e3,
                    intervals.empty() ? 0.0
                                      : *std::max_element(intervals.begin(), intervals.end()) * 1e3,
                    intervals.size(), largestGap * 1e3, overruns, capacity.legs.size(),
                    lateTakeUps);
        auto largest = [](const std::vector<double>& v) {
            return v.empty() ? 0.0 : *std::max_element(v.begin(), v.end());
        };
        std::printf("        receiver ticks: calls apart p99 %.3f ms, largest %.3f ms (its "
                    "thread); call to return p99 %.3f ms, largest %.3f ms (mostly the lock)\n",
                    quantile(calls, 0.99) * 1e3, largest(calls) * 1e3,
                    quantile(durations, 0.99) * 1e3, largest(durations) * 1e3);
    }

    std::printf("\ngoals%s:\n", unprivileged ? " (unprivileged, default buffer limits)" : "");
    auto goal = [](const std::string& text, bool known, bool met) {
        std::printf("  %-66s %s\n", text.c_str(), !known ? "not measured" : met ? "met" : "NOT met");
    };
    for (const auto& [gbit, least] : {std::pair{1.0, 99.0}, std::pair{2.5, 97.0}}) {
        const auto found = results.find(gbit);
        const bool known = found != results.end() && !found->second.legs.empty();
        std::vector<double> offered;
        long lost = 0;
        if (known) {
            for (const auto& leg : found->second.legs) {
                offered.push_back(leg.offeredShare);
                lost += leg.lost + leg.queueDrops;
            }
        }
        char text[160];
        std::snprintf(text, sizeof text, "%.1f Gbit/s: median offered at least %.0f %% of plan",
                      gbit, least);
        goal(text, known, known && quantile(offered, 0.5) >= least && !found->second.failures);
        std::snprintf(text, sizeof text, "%.1f Gbit/s: no datagram lost in any leg", gbit);
        goal(text, known, known && lost == 0);
    }
    {
        const auto found = results.find(1.0);
        const bool known = found != results.end() && !found->second.legs.empty();
        long overruns = 0;
        for (const auto& leg : known ? found->second.legs : std::vector<Leg>{}) {
            overruns += leg.overruns;
        }
        goal("1.0 Gbit/s: no receive overrun in " + std::to_string(overrunLegs) + " legs",
             known && found->second.legs.size() >= overrunLegs, overruns == 0);
    }
    return 0;
}
