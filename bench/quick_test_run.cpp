// Whole Quick Tests across a veth pair shaped by tbf (1 Gbit/s each way unless told
// otherwise; "none" leaves it unshaped), then iperf3 forward, reverse and --bidir on the same
// link: the stage rates the sequencer records beside iperf3's (with several runs, each
// stage's median [least … most] over the runs). Then, pooled over every probe leg of every
// run, the receiver's receive-check intervals (median, p99, largest) and the legs with a
// receive overrun. Needs root (namespaces), tc and iperf3.
// Usage: quick_test_run [rate, e.g. 1gbit] [--runs N]
#include <net/if.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "lab/bench_arguments.h"
#include "lab/netns_lab.h"
#include "lab/quick_test_setups.h"
#include "lab/run_figures.h"
#include "lab/shaped_link.h"
#include "lab/tick_recording_factory.h"
#include "platform/system_network_factory.h"
#include "quicktest/make_quick_test.h"
#include "quicktest/transfer_engine_factory.h"

using namespace sorvanta;
using sorvanta::testing::benchPair;
using sorvanta::testing::NetnsThread;
using sorvanta::testing::quantile;
using sorvanta::testing::TickRecordingFactory;

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

// What one run left for the summary after all runs.
struct RunRecord {
    SpeedSnapshot final;
    Uuid initiator;
    std::vector<UDPObservation> legs;
    std::vector<double> checkIntervals;  // seconds, every receiver tick of the run
};

}  // namespace

int main(int argc, char** argv) {
    std::string rate = "1gbit";
    int runs = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--runs" && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else {
            rate = argument;
        }
    }
    auto pair = benchPair();
    if (!pair) {
        return 1;
    }
    if (rate != "none") {
        sorvanta::testing::shapeLink(*pair, rate);
    }
    NetnsThread a(pair->nsA), b(pair->nsB);
    NetnsThread* threads[2] = {&a, &b};
    const std::string names[2] = {pair->link.nameA, pair->link.nameB};
    std::array<NetworkInterface, 2> interfaces;
    for (int i = 0; i < 2; ++i) {
        interfaces[i] = threads[i]->call([&] {
            return NetworkInterface{names[i], static_cast<int>(if_nametoindex(names[i].c_str())),
                                    InterfaceType::wiredEthernet};
        });
    }
    // Both sides' engines make their timers here, so the probe receivers' ticks (the timers
    // asked for prompt wake-ups) can be read after each run.
    auto recording = std::make_shared<TickRecordingFactory>(std::make_shared<SystemNetworkFactory>());
    std::vector<RunRecord> records;
    std::vector<std::unique_ptr<Pair>> states;
    for (int attempt = 0; attempt < runs; ++attempt) {
        recording->clear();
        // Kept to the end: an engine's last output may come after its run has been dropped.
        states.push_back(std::make_unique<Pair>());
        Pair& state = *states.back();
        auto setups = sorvanta::testing::quickTestSetups(*pair, interfaces, Uuid::random());
        for (int i = 0; i < 2; ++i) {
            auto& setup = setups[i];
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
                        output.kind != QuickTest::Output::Kind::send &&
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
            auto engines = std::make_shared<TransferEngineFactory>(threads[i]->executor(), recording);
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
        std::printf("Quick Test at %s%s: %s\n", rate.c_str(),
                    runs > 1 ? (" (run " + std::to_string(attempt + 1) + " of " +
                                std::to_string(runs) + ")")
                                   .c_str()
                             : "",
                    final.status.c_str());
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
                        ? std::chrono::duration<double>(*state.endedAt - *state.qualityBegan)
                              .count()
                        : -1.0);
        for (const auto& o : final.quality.udp) {
            printObservation(o);
        }
        std::fflush(stdout);
        for (auto& quickTest : state.runs) {
            quickTest.reset();
        }
        RunRecord record{final, setups[0].initiator, final.quality.udp, {}};
        // The engines have ended with their runs; their timers tick no more.
        for (const auto& ticks : recording->ticks()) {
            if (ticks.prompt) {
                record.checkIntervals.insert(record.checkIntervals.end(),
                                             ticks.intervals.begin(), ticks.intervals.end());
            }
        }
        records.push_back(std::move(record));
    }

    std::vector<double> intervals;
    std::size_t legs = 0;
    long overrunLegs = 0, lateTakeUps = 0;
    double largestObserved = 0;
    for (const auto& record : records) {
        intervals.insert(intervals.end(), record.checkIntervals.begin(),
                         record.checkIntervals.end());
        for (const auto& o : record.legs) {
            ++legs;
            overrunLegs += o.receiverOverruns > 0 ? 1 : 0;
            // An overrun with no late check: a datagram waited in the socket beyond the bound.
            lateTakeUps += o.receiverOverruns > 0 && o.receiveCoverage &&
                                   o.receiveCoverage->delayedChecks == 0
                               ? 1
                               : 0;
            if (o.receiveCoverage) {
                largestObserved = std::max(largestObserved, o.receiveCoverage->maximumGap);
            }
        }
    }
    std::printf("probe legs of %d run%s: receive-check intervals median %.3f ms, p99 %.3f ms, "
                "largest %.3f ms (%zu intervals; largest in the observations %.3f ms); overruns "
                "in %ld of %zu legs (%ld of them a datagram taken up late, no check late)\n",
                runs, runs > 1 ? "s" : "", quantile(intervals, 0.5) * 1e3,
                quantile(intervals, 0.99) * 1e3,
                intervals.empty() ? 0.0 : *std::max_element(intervals.begin(), intervals.end()) * 1e3,
                intervals.size(), largestObserved * 1e3, overrunLegs, legs, lateTakeUps);
    std::fflush(stdout);

    if (!sorvanta::testing::iperfInstalled()) {
        std::printf("iperf3 is not installed\n");
        return 0;
    }
    const auto iperf = sorvanta::testing::measureIperf(*pair, 12);
    std::printf("  iperf3 forward: %.1f Mbit/s\n  iperf3 reverse: %.1f Mbit/s\n",
                iperf.forward / 1e6, iperf.reverse / 1e6);
    std::printf("  iperf3 bidir: %.1f Mbit/s + %.1f Mbit/s\n", iperf.bidirForward / 1e6,
                iperf.bidirReverse / 1e6);
    // Each stage direction against iperf3, in the order of the first run's stages.
    std::vector<std::pair<std::string, std::vector<double>>> against;
    for (const auto& record : records) {
        std::size_t at = 0;
        for (const auto& stage : record.final.stages) {
            for (const auto& direction : stage.directions) {
                auto bps = direction.sample ? direction.sample->bitsPerSecond() : std::nullopt;
                const double reference =
                    iperf.counterpart(stage.mode, direction.sender == record.initiator);
                const double share = bps && reference > 0 ? (*bps / reference - 1) * 100 : 0.0;
                if (at == against.size()) {
                    against.push_back({"stage " + std::to_string(stage.index) + " " +
                                           direction.label,
                                       {}});
                }
                against[at++].second.push_back(share);
            }
        }
    }
    for (const auto& [name, shares] : against) {
        if (shares.size() == 1) {
            std::printf("  %s: %+.2f %% against iperf3\n", name.c_str(), shares.front());
        } else {
            std::printf("  %s: %+.2f %% [%+.2f … %+.2f] against iperf3 over %zu runs\n",
                        name.c_str(), quantile(shares, 0.5),
                        *std::min_element(shares.begin(), shares.end()),
                        *std::max_element(shares.begin(), shares.end()), shares.size());
        }
    }
    return 0;
}
