// What two whole copies of the program cost while they sit connected and ready, doing
// nothing: the on-CPU time (schedstat) of every thread of this process, summed by the network
// namespace it works in, in milliseconds per second over several windows (median [range]),
// then each thread's share in the last window. This is the floor every Quick Test pays on top
// of its bytes. Needs root (network namespaces).
// Usage: idle_cost_run [seconds per window, default 10] [windows, default 3]
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "e2e/e2e_node.h"
#include "lab/bench_arguments.h"
#include "lab/run_figures.h"
#include "lab/thread_cpu.h"

using namespace sorvanta;
using namespace sorvanta::testing;

int main(int argc, char** argv) {
    const int seconds = countArgument(argc, argv, 1, 10);
    const int windows = countArgument(argc, argv, 2, 3);
    auto pair = benchPair();
    if (!pair) {
        return 1;
    }
    E2eNode a(pair->nsA, pair->link.nameA, pair->link.indexA, "Desk",
              {true, 1'000'000'000, true});
    E2eNode b(pair->nsB, pair->link.nameB, pair->link.indexB, "Studio",
              {true, 1'000'000'000, true});
    a.start();
    b.start();
    if (!a.waitFor(readyAndArmed, 30) || !b.waitFor(readyAndArmed, 30)) {
        std::fprintf(stderr, "not ready: %s / %s\n", a.snapshot().status.c_str(),
                     b.snapshot().status.c_str());
        return 1;
    }
    // Let the handshake's own work settle before the first window.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const ino_t nsA = inodeOf("/run/netns/" + pair->nsA), nsB = inodeOf("/run/netns/" + pair->nsB);
    std::vector<double> usedA, usedB;
    std::map<std::string, ThreadCpu> before, after;
    for (int window = 0; window < windows; ++window) {
        before = threadCpu();
        const auto start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        after = threadCpu();
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        double sumA = 0, sumB = 0;
        for (const auto& [id, thread] : after) {
            const auto old = before.find(id);
            const double used = thread.seconds - (old == before.end() ? 0 : old->second.seconds);
            if (thread.ns == nsA) {
                sumA += used;
            } else if (thread.ns == nsB) {
                sumB += used;
            }
        }
        usedA.push_back(sumA / elapsed * 1e3);
        usedB.push_back(sumB / elapsed * 1e3);
    }
    std::printf("idle connected pair, %d windows of %d s; on-CPU ms per second, median [range]\n",
                windows, seconds);
    std::printf("  host A: %s\n  host B: %s\n", spread(usedA, 1, "%.3f").c_str(),
                spread(usedB, 1, "%.3f").c_str());
    std::printf("threads in the last window (ms/s):\n");
    for (const auto& [id, thread] : after) {
        if (thread.ns != nsA && thread.ns != nsB) {
            continue;
        }
        const auto old = before.find(id);
        const double used = thread.seconds - (old == before.end() ? 0 : old->second.seconds);
        std::printf("  %-6s %-16s %s %.3f\n", id.c_str(), thread.name.c_str(),
                    thread.ns == nsA ? "A" : "B", used / seconds * 1e3);
    }
    return 0;
}
