// A whole Quick Test across a veth pair shaped by tbf (1 Gbit/s each way unless told
// otherwise), then iperf3 forward, reverse and --bidir on the same link: the stage rates the
// sequencer records beside iperf3's. Needs root (namespaces), tc and iperf3.
// Usage: quick_test_run [rate, e.g. 1gbit]
#include <net/if.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "lab/netns_lab.h"
#include "lab/shaped_link.h"
#include "platform/system_network_factory.h"
#include "quicktest/make_quick_test.h"
#include "quicktest/transfer_engine_factory.h"

using namespace sorvanta;
using sorvanta::testing::NetnsPair;
using sorvanta::testing::NetnsThread;

namespace {

struct Pair {
    std::mutex mutex;
    std::condition_variable changed;
    std::shared_ptr<QuickTest> runs[2];
    std::optional<SpeedSnapshot> ended[2];
    // When the initiator's run entered its quality phase, and when it ended.
    std::optional<std::chrono::steady_clock::time_point> qualityBegan, endedAt;
};

void printObservation(const UDPObservation& o) {
    const double offered = o.send.seconds > 0 ? o.send.accepted * 9600.0 / o.send.seconds : 0;
    std::printf("    leg %lld attempt %lld: capacity %.0f Mbit/s, %.3f s planned, offered %.1f "
                "Mbit/s (%.1f %% of plan), lost %lld, overruns %lld, largest receive gap %.2f "
                "ms%s%s\n",
                static_cast<long long>(o.leg), static_cast<long long>(o.attempt), o.capacity / 1e6,
                o.plannedSeconds, offered / 1e6,
                100 * offered / std::min(o.capacity * 0.75, 9.6e9),
                static_cast<long long>(o.send.accepted - o.unique),
                static_cast<long long>(o.receiverOverruns),
                o.receiveCoverage ? o.receiveCoverage->maximumGap * 1e3 : -1.0,
                o.reason ? "; " : "", o.reason ? o.reason->c_str() : "");
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
    sorvanta::testing::shapeLink(*pair, rate);
    NetnsThread a(pair->nsA), b(pair->nsB);
    NetnsThread* threads[2] = {&a, &b};
    const std::string names[2] = {pair->link.nameA, pair->link.nameB};
    const std::string hosts[2] = {pair->ipv4B, pair->ipv4A};
    const Uuid ids[2] = {Uuid::random(), Uuid::random()};
    const Uuid run = Uuid::random(), session = Uuid::random();
    Pair state;
    for (int i = 0; i < 2; ++i) {
        QuickTest::Setup setup;
        setup.id = run;
        setup.session = session;
        setup.local = ids[i];
        setup.peer = ids[1 - i];
        setup.initiator = ids[0];
        setup.interface = threads[i]->call([&] {
            return NetworkInterface{names[i], static_cast<int>(if_nametoindex(names[i].c_str())),
                                    InterfaceType::wiredEthernet};
        });
        setup.host = asio::ip::make_address(hosts[i]);
        setup.notify = [&state, i](QuickTest::Output output) {
            std::shared_ptr<QuickTest> other;
            {
                std::lock_guard lock(state.mutex);
                if (output.kind == QuickTest::Output::Kind::ended) {
                    state.ended[i] = output.state;
                    if (i == 0) {
                        state.endedAt = std::chrono::steady_clock::now();
                    }
                }
                if (i == 0 && !state.qualityBegan &&
                    output.state.phase == SpeedSnapshot::Phase::quality) {
                    state.qualityBegan = std::chrono::steady_clock::now();
                }
                other = state.runs[1 - i];
            }
            if (output.kind == QuickTest::Output::Kind::send && other) {
                other->deliver(*output.message);
            }
            state.changed.notify_all();
        };
        auto engines = std::make_shared<TransferEngineFactory>(
            threads[i]->executor(), std::make_shared<SystemNetworkFactory>());
        auto made = threads[i]->call([&] {
            return quickTestFactory(threads[i]->executor(), engines, nullptr, nullptr)(setup);
        });
        std::lock_guard lock(state.mutex);
        state.runs[i] = made;
    }
    state.runs[1]->start();
    state.runs[0]->start();
    {
        std::unique_lock lock(state.mutex);
        if (!state.changed.wait_for(lock, std::chrono::seconds(120),
                                    [&] { return state.ended[0] && state.ended[1]; })) {
            std::fprintf(stderr, "the run did not end within 120 s\n");
            return 1;
        }
    }
    const auto& final = *state.ended[0];
    std::printf("Quick Test at %s: %s\n", rate.c_str(), final.status.c_str());
    for (const auto& stage : final.stages) {
        for (const auto& direction : stage.directions) {
            auto bps = direction.sample ? direction.sample->bitsPerSecond() : std::nullopt;
            std::printf("  stage %lld %s: %.1f Mbit/s\n", static_cast<long long>(stage.index),
                        direction.label.c_str(), bps ? *bps / 1e6 : 0.0);
        }
    }
    std::printf("  quality: %zu probe observations, complete %s, phase %.2f s\n",
                final.quality.udp.size(), final.quality.complete ? "yes" : "no",
                state.qualityBegan && state.endedAt
                    ? std::chrono::duration<double>(*state.endedAt - *state.qualityBegan).count()
                    : -1.0);
    for (const auto& o : final.quality.udp) {
        printObservation(o);
    }
    for (auto& run : state.runs) {
        run.reset();
    }
    if (!sorvanta::testing::iperfInstalled()) {
        std::printf("iperf3 is not installed\n");
        return 0;
    }
    const auto iperf = sorvanta::testing::measureIperf(*pair, 12);
    std::printf("  iperf3 forward: %.1f Mbit/s\n  iperf3 reverse: %.1f Mbit/s\n",
                iperf.forward / 1e6, iperf.reverse / 1e6);
    std::printf("  iperf3 bidir: %.1f Mbit/s + %.1f Mbit/s\n", iperf.bidirForward / 1e6,
                iperf.bidirReverse / 1e6);
    for (const auto& stage : final.stages) {
        for (const auto& direction : stage.directions) {
            auto bps = direction.sample ? direction.sample->bitsPerSecond() : std::nullopt;
            const double reference = iperf.counterpart(stage.mode, direction.sender == ids[0]);
            std::printf("  stage %lld %s: %+.2f %% against iperf3\n",
                        static_cast<long long>(stage.index), direction.label.c_str(),
                        bps && reference > 0 ? (*bps / reference - 1) * 100 : 0.0);
        }
    }
    return 0;
}
