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
#include "platform/system_network_factory.h"
#include "quicktest/make_quick_test.h"
#include "quicktest/transfer_engine_factory.h"

using namespace sorvanta;
using sorvanta::testing::NetnsPair;
using sorvanta::testing::NetnsThread;

namespace {

std::string shell(const std::string& command) {
    std::string output;
    if (FILE* pipe = ::popen((command + " 2>&1").c_str(), "r")) {
        char buffer[4096];
        while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
            output += buffer;
        }
        ::pclose(pipe);
    }
    return output;
}

// The receiver's bits per second of iperf3's JSON report ("sum_received").
double iperfRate(const std::string& json, const std::string& key) {
    auto at = json.find("\"" + key + "\"");
    at = at == std::string::npos ? at : json.find("\"bits_per_second\":", at);
    return at == std::string::npos ? 0 : std::stod(json.substr(at + 18));
}

struct Pair {
    std::mutex mutex;
    std::condition_variable changed;
    std::shared_ptr<QuickTest> runs[2];
    std::optional<SpeedSnapshot> ended[2];
};

}  // namespace

int main(int argc, char** argv) {
    const std::string rate = argc > 1 ? argv[1] : "1gbit";
    std::string whyNot;
    auto pair = NetnsPair::create(whyNot);
    if (!pair) {
        std::fprintf(stderr, "namespaces unavailable: %s\n", whyNot.c_str());
        return 1;
    }
    for (const auto& [ns, dev] :
         {std::pair{pair->nsA, pair->link.nameA}, std::pair{pair->nsB, pair->link.nameB}}) {
        shell("ip netns exec " + ns + " tc qdisc add dev " + dev + " root tbf rate " + rate +
              " burst 512kb latency 50ms");
    }
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
    std::printf("  quality: %zu probe observations, complete %s\n", final.quality.udp.size(),
                final.quality.complete ? "yes" : "no");
    for (auto& run : state.runs) {
        run.reset();
    }
    if (shell("command -v iperf3").empty()) {
        std::printf("iperf3 is not installed\n");
        return 0;
    }
    const std::pair<const char*, const char*> modes[] = {
        {"forward", ""}, {"reverse", " -R"}, {"bidir", " --bidir"}};
    for (const auto& [name, flag] : modes) {
        shell("ip netns exec " + pair->nsB + " iperf3 -s -1 -D -p 5299 -B " + pair->ipv4B);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        auto json = shell("ip netns exec " + pair->nsA + " iperf3 -J -t 12 -O 2 -c " + pair->ipv4B +
                          " -p 5299" + flag);
        std::printf("  iperf3 %s: %.1f Mbit/s", name, iperfRate(json, "sum_received") / 1e6);
        if (std::string(name) == "bidir") {
            std::printf(" + %.1f Mbit/s", iperfRate(json, "sum_received_bidir_reverse") / 1e6);
        }
        std::printf("\n");
    }
    return 0;
}
