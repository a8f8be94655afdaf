// Whole Quick Tests between two copies of the service in namespaces joined by a veth pair,
// started as a click starts them, then iperf3 forward, reverse and --bidir on the same link.
// Prints each stage's rate beside iperf3's, the duplex balance, and the wall time from the
// click to the verdict with the share of each phase. Needs root, tc and iperf3.
// Usage: end_to_end_run [tbf rate, e.g. 1gbit or 100mbit; "none" for an unshaped veth]
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>

#include "e2e/e2e_node.h"
#include "lab/shaped_link.h"

using namespace sorvanta;
using namespace sorvanta::testing;
using Steady = std::chrono::steady_clock;

namespace {

double stageRate(const SpeedSnapshot& speed, std::size_t stage, std::size_t direction) {
    if (stage >= speed.stages.size() || direction >= speed.stages[stage].directions.size()) {
        return 0;
    }
    const auto& sample = speed.stages[stage].directions[direction].sample;
    return sample ? sample->bitsPerSecond().value_or(0) : 0;
}

const char* phaseName(SpeedSnapshot::Phase phase) {
    static const char* names[] = {"idle",    "checking", "preparing", "warming", "measuring",
                                  "quality", "complete", "cancelled", "failed"};
    return names[static_cast<int>(phase)];
}

}  // namespace

int main(int argc, char** argv) {
    const std::string rate = argc > 1 ? argv[1] : "1gbit";
    std::string whyNot;
    auto pair = NetnsPair::create(whyNot);
    if (!pair) {
        std::fprintf(stderr, "namespaces unavailable: %s\n", whyNot.c_str());
        return 1;
    }
    if (rate != "none") {
        shapeLink(*pair, rate);
    }
    const std::uint64_t link = rate == "100mbit" ? 100'000'000
                               : rate == "none"  ? 10'000'000'000
                                                 : 1'000'000'000;
    SpeedSnapshot final;
    {
        E2eNode a(pair->nsA, pair->link.nameA, pair->link.indexA, "Desk", {true, link, true});
        E2eNode b(pair->nsB, pair->link.nameB, pair->link.indexB, "Studio", {true, link, true});
        a.start();
        b.start();
        if (!a.waitFor(readyAndArmed, 30) || !b.waitFor(readyAndArmed, 30)) {
            std::fprintf(stderr, "not ready: %s / %s\n", a.snapshot().status.c_str(),
                         b.snapshot().status.c_str());
            return 1;
        }
        // The click, then the time spent in each phase until both sides have a verdict.
        const auto click = Steady::now();
        a.service().startQuickTest(QuickProfile::quick);
        std::map<std::string, double> share;
        auto last = click;
        std::string phase = "click";
        while (Steady::now() - click < std::chrono::seconds(150)) {
            const ServiceSnapshot s = a.snapshot();
            const auto now = Steady::now();
            share[phase] += std::chrono::duration<double>(now - last).count();
            last = now;
            phase = s.speed.run ? phaseName(s.speed.phase) : "click";
            if (runEnded(s) && runEnded(b.snapshot())) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        const double wall = std::chrono::duration<double>(Steady::now() - click).count();
        final = a.snapshot().speed;
        std::printf("link %s: run %s in %.2f s from the click to both verdicts\n", rate.c_str(),
                    phaseName(final.phase), wall);
        for (const auto& [name, seconds] : share) {
            std::printf("  %-10s %6.2f s  %5.1f %%\n", name.c_str(), seconds, 100 * seconds / wall);
        }
    }
    const std::string server = "ip netns exec " + pair->nsB + " iperf3 -s -1 -B " + pair->ipv4B;
    const std::string client = "ip netns exec " + pair->nsA + " iperf3 -J -t 10 -O 2 -c " +
                               pair->ipv4B + " -B " + pair->ipv4A;
    auto iperf = [&](const std::string& flags) {
        std::thread serverThread([&] { shell(server); });
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const std::string json = shell(client + " " + flags);
        serverThread.join();
        return json;
    };
    const std::string forward = iperf(""), reverse = iperf("-R"), bidir = iperf("--bidir");
    const double rows[4][2] = {
        {stageRate(final, 0, 0), iperfRate(forward, "sum_received")},
        {stageRate(final, 1, 0), iperfRate(reverse, "sum_received")},
        {stageRate(final, 2, 0), iperfRate(bidir, "sum_received")},
        {stageRate(final, 2, 1), iperfRate(bidir, "sum_received_bidir_reverse")}};
    const char* names[4] = {"forward", "reverse", "duplex A→B", "duplex B→A"};
    std::printf("%-12s %12s %12s %8s\n", "stage", "Quick Test", "iperf3", "ratio");
    for (int i = 0; i < 4; ++i) {
        std::printf("%-12s %9.1f Mb %9.1f Mb %8.3f\n", names[i], rows[i][0] / 1e6, rows[i][1] / 1e6,
                    rows[i][1] > 0 ? rows[i][0] / rows[i][1] : 0.0);
    }
    if (rows[2][0] > 0 && rows[3][0] > 0) {
        std::printf("duplex balance (slower/faster): %.3f\n",
                    std::min(rows[2][0], rows[3][0]) / std::max(rows[2][0], rows[3][0]));
    }
    return 0;
}
