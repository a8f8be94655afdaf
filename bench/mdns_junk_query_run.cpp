// What junk queries from the cable cost the discovery thread: a browser whose cache is nearly
// full (240 instances, each with its PTR, SRV, TXT and address record) receives 2,000 queries
// of 64 questions and 64 known answers that match nothing it holds but the service type's
// name; the figure is that thread's time on a CPU meanwhile. Over a veth pair between two
// network namespaces (link-local addresses only). Needs the right to make namespaces; prints
// why not otherwise.
//
// Queries go in batches small enough for the socket's receive queue; each batch ends with a
// record that changes the browser's results, so the batch has been handled when they change.
// Every tenth batch the instances' PTR records come again, as their hosts would answer the
// queries' question for the service type: otherwise the browser would rightly doubt and drop
// them, and the cache would shrink as the run goes. The same batches with no queries give the
// baseline, the cost of those markers and answers alone.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "lab/bench_arguments.h"
#include "lab/netns_lab.h"
#include "lab/run_figures.h"
#include "lab/thread_cpu.h"
#include "platform/dnssd/mdns_dnssd_browser.h"
#include "platform/dnssd/mdns_message.h"

using namespace sorvanta;
using namespace std::chrono_literals;

namespace {

constexpr int instances = 240;
constexpr int queries = 2000;
constexpr int perBatch = 40;
constexpr std::uint32_t ttl = 4500;
const MdnsName serviceType = MdnsName::fromText("_sorvanta._tcp.local");

MdnsName instanceName(const std::string& label) {
    return serviceType.prefixed(label);
}

// One instance as its responder would announce it.
std::vector<std::uint8_t> announcement(int i) {
    const std::string label = "Peer " + std::to_string(i);
    const MdnsName host = MdnsName::fromText("peer-" + std::to_string(i) + ".local");
    MdnsMessage message;
    message.flags = MdnsMessage::responseFlags;
    message.answers = {
        MdnsRecord::ptr(serviceType, instanceName(label), ttl),
        MdnsRecord::srv(instanceName(label), MdnsSrv{0, 0, 4000, host}, ttl),
        MdnsRecord::txt(instanceName(label), {"v=9"}, ttl),
        MdnsRecord::a(host,
                      {169, 254, static_cast<std::uint8_t>(10 + i / 250),
                       static_cast<std::uint8_t>(1 + i % 250)},
                      ttl),
    };
    return encodeMdnsMessage(message, mdns::maxMessageSize);
}

// The marker instance, its TXT record one of two values in turn.
std::vector<std::uint8_t> marker(int value) {
    MdnsMessage message;
    message.flags = MdnsMessage::responseFlags;
    message.answers = {
        MdnsRecord::ptr(serviceType, instanceName("Marker"), ttl),
        MdnsRecord::txt(instanceName("Marker"), {"m=" + std::to_string(value)}, ttl)};
    return encodeMdnsMessage(message, mdns::maxMessageSize);
}

// The instances' PTR records in one response, as their hosts answer a query for the type.
std::vector<std::uint8_t> renewal() {
    MdnsMessage message;
    message.flags = MdnsMessage::responseFlags;
    for (int i = 0; i < instances; ++i) {
        message.answers.push_back(
            MdnsRecord::ptr(serviceType, instanceName("Peer " + std::to_string(i)), ttl));
    }
    return encodeMdnsMessage(message, mdns::maxMessageSize);
}

std::vector<std::uint8_t> junkQuery(int n) {
    MdnsMessage query;
    for (int q = 0; q < 63; ++q) {
        query.questions.push_back(
            {instanceName("Junk " + std::to_string(n) + "-" + std::to_string(q)), mdns::typeTxt,
             mdns::classIn, false});
    }
    query.questions.push_back({serviceType, mdns::typePtr, mdns::classIn, false});
    for (int a = 0; a < 64; ++a) {
        query.answers.push_back(
            MdnsRecord::ptr(serviceType, instanceName("Ghost " + std::to_string(a)), ttl));
    }
    return encodeMdnsMessage(query, mdns::maxMessageSize);
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = testing::countArgument(argc, argv, 1, 5);
    auto pair = testing::benchPair();
    if (!pair) {
        return 0;
    }
    testing::NetnsThread a(pair->nsA);
    testing::NetnsThread b(pair->nsB);

    // The far end of the cable: a plain socket on the mDNS port, as another host's would be.
    const int sender = a.call([&] {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(mdns::port);
        in_addr interface {};
        ::inet_pton(AF_INET, pair->ipv4A.c_str(), &interface);
        const unsigned char hops = 255;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
            ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &interface, sizeof interface) != 0 ||
            ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &hops, sizeof hops) != 0) {
            ::close(fd);
            return -1;
        }
        return fd;
    });
    if (sender < 0) {
        std::printf("mdns junk queries: no sending socket\n");
        return 1;
    }
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(mdns::port);
    ::inet_pton(AF_INET, "224.0.0.251", &group.sin_addr);
    auto send = [&](const std::vector<std::uint8_t>& packet) {
        ::sendto(sender, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&group),
                 sizeof group);
    };

    std::mutex mutex;
    std::condition_variable changed;
    std::size_t found = 0;
    std::string mark;
    std::shared_ptr<DnssdBrowser> browser;
    b.call([&] {
        DnssdBrowser::Options options;
        options.interfaceIndex = pair->link.indexB;
        browser = MdnsDnssdBrowser::create(b.executor(), options);
        browser->setResultsHandler([&](const std::vector<DnssdBrowseResult>& results) {
            std::lock_guard lock(mutex);
            found = results.size();
            for (const auto& result : results) {
                if (result.instanceName() == "Marker" && result.txt) {
                    mark = result.txt->count("m") != 0 ? result.txt->at("m") : "";
                }
            }
            changed.notify_all();
        });
        browser->start();
    });
    std::this_thread::sleep_for(200ms);  // the browser's sockets are open
    auto waitFor = [&](auto done) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 60s, done);
    };
    for (int i = 0; i < instances; ++i) {
        send(announcement(i));
        if ((i + 1) % perBatch == 0 && !waitFor([&] { return found >= std::size_t(i + 1); })) {
            std::printf("mdns junk queries: the browser found only %zu instances\n", found);
            return 1;
        }
    }
    int markValue = 0;
    send(marker(markValue));
    if (!waitFor([&] { return mark == "0"; })) {
        std::printf("mdns junk queries: the marker was never seen\n");
        return 1;
    }
    const auto renewed = renewal();
    std::vector<std::vector<std::uint8_t>> junk;
    for (int n = 0; n < perBatch; ++n) {
        junk.push_back(junkQuery(n));
    }

    // The thread's time for `count` queries, in batches that each end with a marker.
    auto measure = [&](int count) -> double {
        const double before = b.call([] { return testing::callingThreadCpu().seconds; });
        for (int sent = 0; sent < queries; sent += perBatch) {
            if (sent % (perBatch * 10) == 0) {
                send(renewed);
            }
            for (int n = 0; n < perBatch && sent + n < count; ++n) {
                send(junk[n]);
            }
            markValue ^= 1;
            send(marker(markValue));
            const std::string wanted = std::to_string(markValue);
            if (!waitFor([&] { return mark == wanted; })) {
                return -1;
            }
        }
        return b.call([] { return testing::callingThreadCpu().seconds; }) - before;
    };
    std::vector<double> loaded, baseline;
    for (int round = 0; round < rounds; ++round) {
        const double busy = measure(queries);
        const double idle = measure(0);
        if (busy < 0 || idle < 0) {
            std::printf("mdns junk queries: a marker was never seen (round %d)\n", round);
            return 1;
        }
        loaded.push_back(busy);
        baseline.push_back(idle);
    }
    b.call([&] {
        browser->cancel();
        browser.reset();
    });
    ::close(sender);
    std::printf(
        "mdns junk queries, %d rounds, cache of %d instances (%d records): discovery thread "
        "time for %d queries of 64 questions and 64 known answers: %s ms; markers and answers "
        "alone: %s ms\n",
        rounds, instances, instances * 4 + 2, queries,
        testing::spread(loaded, 1e-3, "%.1f").c_str(),
        testing::spread(baseline, 1e-3, "%.1f").c_str());
    return 0;
}
