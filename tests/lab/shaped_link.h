#pragma once

// A namespace pair's link shaped by tbf, and iperf3's rates across it: what the Quick Test's
// stage rates are held against. Needs tc and iperf3 (the runs skip without iperf3).

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "lab/netns_lab.h"
#include "lab/run_figures.h"
#include "protocol/quick_stage.h"

namespace sorvanta::testing {

inline bool iperfInstalled() {
    return !shell("command -v iperf3").empty();
}

// Shapes both ends' egress to `rate` (tc syntax, e.g. "1gbit").
inline void shapeLink(const NetnsPair& pair, const std::string& rate) {
    for (const auto& [ns, dev] :
         {std::pair{pair.nsA, pair.link.nameA}, std::pair{pair.nsB, pair.link.nameB}}) {
        shell("ip netns exec " + ns + " tc qdisc add dev " + dev + " root tbf rate " + rate +
              " burst 512kb latency 50ms");
    }
}

// Receiver-side bits per second; forward is A to B.
struct IperfRates {
    double forward = 0, reverse = 0, bidirForward = 0, bidirReverse = 0;

    // iperf3's rate for the direction of a stage whose sender is (or is not) side A.
    double counterpart(QuickStage mode, bool fromA) const {
        if (mode == QuickStage::duplex) {
            return fromA ? bidirForward : bidirReverse;
        }
        return fromA ? forward : reverse;
    }
};

// The bits per second after `key` (e.g. "sum_received") in iperf3's JSON report; 0 if absent.
inline double iperfRate(const std::string& json, const std::string& key) {
    return jsonNumber(json, key, "bits_per_second");
}

// iperf3 from A to B forward, reverse (-R) and both ways (--bidir), `seconds` each after one
// omitted second. A client that finds the server not yet listening tries again.
inline IperfRates measureIperf(const NetnsPair& pair, int seconds) {
    auto run = [&](const std::string& flag) {
        shell("ip netns exec " + pair.nsB + " iperf3 -s -1 -D --idle-timeout 30 -p 5299 -B " +
              pair.ipv4B);
        std::string json;
        for (int attempt = 0; attempt < 20 && iperfRate(json, "sum_received") == 0; ++attempt) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            json = shell("ip netns exec " + pair.nsA + " iperf3 -J -O 1 -t " +
                         std::to_string(seconds) + " -c " + pair.ipv4B + " -p 5299" + flag);
        }
        return json;
    };
    IperfRates rates;
    rates.forward = iperfRate(run(""), "sum_received");
    rates.reverse = iperfRate(run(" -R"), "sum_received");
    const auto both = run(" --bidir");
    rates.bidirForward = iperfRate(both, "sum_received");
    rates.bidirReverse = iperfRate(both, "sum_received_bidir_reverse");
    return rates;
}

}  // namespace sorvanta::testing
