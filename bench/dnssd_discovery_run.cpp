// Discovery latency of a peer that is already advertising: from a browser's start to its
// first result, over a veth pair between two network namespaces (link-local addresses
// only). Needs the right to make namespaces; prints why not otherwise.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "lab/netns_lab.h"
#include "platform/dnssd/dnssd_advertiser.h"
#include "platform/dnssd/mdns_dnssd_browser.h"

using namespace sorvanta;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    std::string whyNot;
    auto pair = testing::NetnsPair::create(whyNot);
    if (!pair) {
        std::printf("dnssd discovery: not run, network namespaces unavailable: %s\n",
                    whyNot.c_str());
        return 0;
    }
    testing::NetnsThread a(pair->nsA);
    testing::NetnsThread b(pair->nsB);

    std::mutex mutex;
    std::condition_variable changed;
    bool registered = false;
    std::shared_ptr<DnssdAdvertiser> advertiser;
    a.call([&] {
        DnssdAdvertiser::Service service{"Bench", "_sorvanta._tcp", 4000, {{"v", "9"}}};
        DnssdAdvertiser::Options options;
        options.interfaceIndex = pair->link.indexA;
        advertiser = DnssdAdvertiser::create(a.executor(), service, options);
        advertiser->setRegistrationHandler([&](const DnssdRegistrationChange&) {
            std::lock_guard lock(mutex);
            registered = true;
            changed.notify_all();
        });
        advertiser->start();
    });
    {
        std::unique_lock lock(mutex);
        if (!changed.wait_for(lock, 5s, [&] { return registered; })) {
            std::printf("dnssd discovery: the advertisement never registered\n");
            return 1;
        }
    }
    std::this_thread::sleep_for(2500ms);  // past the announcements: only a query finds it

    std::vector<double> latencies;
    for (int round = 0; round < rounds; ++round) {
        bool found = false;
        Clock::time_point foundAt;
        std::shared_ptr<DnssdBrowser> browser;
        const auto start = Clock::now();
        b.call([&] {
            DnssdBrowser::Options options;
            options.interfaceIndex = pair->link.indexB;
            browser = MdnsDnssdBrowser::create(b.executor(), options);
            browser->setResultsHandler([&](const std::vector<DnssdBrowseResult>& results) {
                std::lock_guard lock(mutex);
                if (!found && !results.empty()) {
                    found = true;
                    foundAt = Clock::now();
                    changed.notify_all();
                }
            });
            browser->start();
        });
        {
            std::unique_lock lock(mutex);
            changed.wait_for(lock, 5s, [&] { return found; });
        }
        b.call([&] {
            browser->cancel();
            browser.reset();
        });
        if (!found) {
            std::printf("dnssd discovery: round %d found nothing within 5 s\n", round);
            return 1;
        }
        latencies.push_back(std::chrono::duration<double, std::milli>(foundAt - start).count());
        // A responder multicasts a record at most once a second; let that pass.
        std::this_thread::sleep_for(1100ms);
    }
    a.call([&] {
        advertiser->cancel();
        advertiser.reset();
    });
    std::sort(latencies.begin(), latencies.end());
    std::printf(
        "dnssd discovery of an advertising peer, %d rounds: min %.1f ms, median %.1f ms, "
        "max %.1f ms\n",
        rounds, latencies.front(), latencies[latencies.size() / 2], latencies.back());
    return latencies.back() < 1000.0 ? 0 : 1;
}
