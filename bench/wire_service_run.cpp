// End-to-end figures of the network service across a veth pair between two namespaces:
//   1. start of both copies to both ready, median of 10 rounds, with how long the IPv6
//      addresses took to become usable, discovery (start to the first control connection)
//      and the handshake (connection to ready);
//   2. resident memory of one copy over 1,000 connect/disconnect cycles of a peer.
// Needs root (network namespaces). Prints its figures; exits 1 when a round fails.

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "lab/run_figures.h"
#include "platform/dnssd/dnssd_resolver.h"
#include "platform/net/wired_path.h"
#include "protocol/control_frame_codec.h"
#include "service/netns/service_node.h"  // tests/service/netns

using namespace sorvanta;
using namespace sorvanta::testing;
using Steady = std::chrono::steady_clock;

namespace {

double secondsOf(Steady::duration d) {
    return std::chrono::duration<double>(d).count();
}

long residentKilobytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

// Adds an IPv6 link-local address, with duplicate detection unless told otherwise, and waits
// until it is usable.
double addIpv6(NetnsLab& lab, const std::string& ns, const std::string& address,
               const std::string& device, bool detectDuplicates) {
    const auto start = Steady::now();
    lab.ip(ns, "-6 addr add " + address + "/64 dev " + device + (detectDuplicates ? "" : " nodad"));
    const std::string probe =
        "ip netns exec " + ns + " ip -6 addr show dev " + device + " tentative | grep -q inet6";
    while (std::system(probe.c_str()) == 0 && Steady::now() - start < std::chrono::seconds(5)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return secondsOf(Steady::now() - start);
}

struct Round {
    double total = 0, address = 0, discovery = 0, handshake = 0;
};

bool round(Round& out, bool detectDuplicates) {
    NetnsLab lab;
    const auto nsA = lab.addNamespace("a");
    const auto nsB = lab.addNamespace("b");
    const auto link = lab.addLink(nsA, nsB);
    const std::string net = "169.254." + std::to_string(1 + ::getpid() % 250) + ".";
    lab.ip(nsA, "addr add " + net + "1/16 dev " + link.nameA);
    lab.ip(nsB, "addr add " + net + "2/16 dev " + link.nameB);
    ServiceNode a(nsA, {{link.nameA, link.indexA}}, "Desk");
    ServiceNode b(nsB, {{link.nameB, link.indexB}}, "Studio");
    const auto start = Steady::now();
    a.start();
    b.start();
    // The IPv6 link-local addresses come up as the copies start, as after plugging a cable.
    out.address = std::max(addIpv6(lab, nsA, "fe80::1", link.nameA, detectDuplicates),
                           addIpv6(lab, nsB, "fe80::2", link.nameB, detectDuplicates));
    if (!a.waitFor(readyAndArmed, 20, 2) || !b.waitFor(readyAndArmed, 20, 2)) {
        std::printf("round failed: %s / %s\n", a.snapshot().status.c_str(),
                    b.snapshot().status.c_str());
        return false;
    }
    const auto connecting = std::min(*a.firstTime("Connecting over Ethernet\u2026"),
                                     *b.firstTime("Connecting over Ethernet\u2026"));
    const auto ready =
        std::max(*a.firstTime("Ready with Studio."), *b.firstTime("Ready with Desk."));
    out.total = secondsOf(ready - start);
    out.discovery = secondsOf(connecting - start);
    out.handshake = secondsOf(ready - connecting);
    return true;
}

// One peer that connects, greets and hangs up, again and again.
bool cycles(int count) {
    std::string whyNot;
    auto pair = NetnsPair::create(whyNot);
    if (!pair) {
        std::printf("namespaces unavailable: %s\n", whyNot.c_str());
        return false;
    }
    ServiceNode a(pair->nsA, {{pair->link.nameA, pair->link.indexA}}, "Desk");
    a.start();
    a.stopRecording();
    if (!a.waitFor([](const ServiceSnapshot& s) {
            return s.status == "Looking for another Mac running Sorvanta\u2026";
        })) {
        return false;
    }
    NetnsThread client(pair->nsB);
    const NetworkInterface interface {
        pair->link.nameB, pair->link.indexB, InterfaceType::wiredEthernet
    };
    DnssdEndpoint desk;
    desk.instanceName = "Desk";
    desk.interface = interface;
    std::promise<std::vector<asio::ip::tcp::endpoint>> found;
    auto resolver = client.call([&] {
        auto r = DnssdResolver::create(client.executor(), desk);
        r->start([&](const std::vector<asio::ip::tcp::endpoint>& addresses,
                     std::optional<PlatformError>) { found.set_value(addresses); });
        return r;
    });
    const auto addresses = found.get_future().get();
    if (addresses.empty()) {
        return false;
    }
    SystemNetworkFactory factory;
    long first = 0;
    for (int i = 1; i <= count; ++i) {
        ControlMessage hello;
        hello.kind = ControlMessage::Kind::hello;
        hello.session = Uuid::random();
        hello.instance = Uuid::random();
        hello.name = "Cycle";
        hello.lowPower = false;
        auto connection = client.call([&] {
            auto c = factory.makeTcpConnection(client.executor(), Endpoint::from(addresses.front()),
                                               makeWiredParameters(interface));
            c->setStateHandler([c = c.get(), frame = ControlFrameCodec::encode(hello)](
                                   const TransportState& state) {
                if (state.kind == TransportState::Kind::ready) {
                    c->send(frame, [](std::optional<PlatformError>) {});
                }
            });
            c->start();
            return c;
        });
        const bool greeted = a.waitFor(
            [](const ServiceSnapshot& s) { return s.status == "Ready with Cycle."; }, 5, 1);
        client.call([&] {
            connection->cancel();
            return 0;
        });
        if (!greeted ||
            !a.waitFor([](const ServiceSnapshot& s) { return s.state != ConnectionState::ready; },
                       5, 1)) {
            std::printf("cycle %d failed: %s\n", i, a.snapshot().status.c_str());
            return false;
        }
        if (i == 100) {
            first = residentKilobytes();
        }
        if (i % 250 == 0 || i == 100) {
            std::printf("  cycle %4d: resident %ld kB\n", i, residentKilobytes());
        }
    }
    std::printf("memory over %d cycles: %ld kB at cycle 100, %ld kB at the end (%+ld kB)\n", count,
                first, residentKilobytes(), residentKilobytes() - first);
    client.call([&] {
        resolver->cancel();
        return 0;
    });
    return true;
}

}  // namespace

int main() {
    if (auto why = NetnsLab::unavailableReason(); !why.empty()) {
        std::printf("network namespaces unavailable: %s\n", why.c_str());
        return 0;
    }
    for (bool detectDuplicates : {true, false}) {
        std::printf("IPv6 link-local addresses %s duplicate detection:\n",
                    detectDuplicates ? "with" : "without");
        std::vector<double> totals, addresses, discoveries, handshakes;
        for (int i = 0; i < 10; ++i) {
            Round r;
            if (!round(r, detectDuplicates)) {
                return 1;
            }
            std::printf(
                "  round %2d: %.3f s (IPv6 addresses %.3f s, discovery %.3f s, handshake "
                "%.3f s)\n",
                i + 1, r.total, r.address, r.discovery, r.handshake);
            totals.push_back(r.total);
            addresses.push_back(r.address);
            discoveries.push_back(r.discovery);
            handshakes.push_back(r.handshake);
        }
        std::printf(
            "  start to both ready: median %.3f s (min %.3f, max %.3f); medians: IPv6 "
            "addresses %.3f s, discovery %.3f s, handshake %.3f s\n",
            median(totals), *std::min_element(totals.begin(), totals.end()),
            *std::max_element(totals.begin(), totals.end()), median(addresses), median(discoveries),
            median(handshakes));
    }
    return cycles(1000) ? 0 : 1;
}
