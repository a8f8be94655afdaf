// One UDP probe leg (3 s) on the probe engines across a veth pair between two namespaces, for
// link capacities of 1, 2.5, 5 and 10 Gbit/s (the engine offers 75 % of each): the rate
// offered against the plan, datagrams lost, drops in the receiving socket's queue, pacing
// ticks more than 1 ms late, slots dropped by the pacer, and the receiver's largest gap
// between receive-service checks. Optional arguments: capacities in Gbit/s.
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
using testing::NetnsPair;
using testing::NetnsThread;
using testing::UdpProbeLeg;

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
