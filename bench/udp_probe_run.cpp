// One UDP probe leg (3 s) on the probe engines across a veth pair between two namespaces, for
// link capacities of 1, 2.5, 5 and 10 Gbit/s (the engine offers 75 % of each): the rate
// offered against the plan, datagrams lost, drops in the receiving socket's queue, pacing
// ticks more than 1 ms late, slots dropped by the pacer, and the receiver's largest gap
// between receive-service checks. Optional arguments: capacities in Gbit/s. The two sides run
// on separate halves of the CPUs unless UDP_PROBE_SHARED_CPUS is set; UDP_PROBE_SEGMENT_AT_LINK
// (see below).
#include <sched.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "lab/udp_probe_leg.h"

using namespace sorvanta;
using namespace std::chrono_literals;
using sorvanta::testing::NetnsPair;
using sorvanta::testing::NetnsThread;
using sorvanta::testing::UdpProbeLeg;

namespace {

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

}  // namespace

int main(int argc, char** argv) {
    std::vector<double> capacities{1, 2.5, 5, 10};
    if (argc > 1) {
        capacities.clear();
        for (int i = 1; i < argc; ++i) {
            capacities.push_back(std::atof(argv[i]));
        }
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
    std::printf("%9s %12s %12s %7s %9s %8s %10s %9s %11s %9s\n", "capacity", "plan Mbit/s",
                "offered", "of plan", "lost", "rcvq", "late ticks", "dropped", "recv gap ms",
                "overruns");
    for (const double gbit : capacities) {
        const long dropsBefore = b.call([] { return receiveBufferErrors(); });
        UdpProbeLeg leg({&a, ifA, asio::ip::make_address(pair->ipv4A)},
                        {&b, ifB, asio::ip::make_address(pair->ipv4B)}, gbit * 1e9);
        leg.start();
        const auto result = leg.awaitFrom<UDPTransfer::Result>(leg.receiverEvents, 15s);
        const long drops = b.call([] { return receiveBufferErrors(); }) - dropsBefore;
        if (!result) {
            const auto failed = leg.awaitFrom<UDPTransfer::Failed>(leg.senderEvents, 0ms);
            std::printf("%8.1fG  no result%s%s\n", gbit, failed ? ": " : "",
                        failed ? failed->reason.c_str() : "");
            continue;
        }
        const auto& o = result->observation;
        const double plan = std::min(gbit * 1e9 * 0.75, 1e6 * 9600.0);
        const double offered = static_cast<double>(o.send.accepted) * 9600.0 / o.send.seconds;
        std::printf("%8.1fG %12.1f %12.1f %6.2f%% %9ld %8ld %10ld %9ld %11.2f %9ld\n", gbit,
                    plan / 1e6, offered / 1e6, 100.0 * offered / plan,
                    static_cast<long>(o.send.accepted - o.unique), drops,
                    static_cast<long>(o.send.pacingGaps), static_cast<long>(o.send.discardedSlots),
                    o.receiveCoverage ? o.receiveCoverage->maximumGap * 1e3 : -1.0,
                    static_cast<long>(o.receiverOverruns));
    }
    return 0;
}
