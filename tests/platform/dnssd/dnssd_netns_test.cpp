// DNS-SD over multicast DNS for real: two network namespaces joined by a veth pair, each
// side advertising and browsing, and python3-zeroconf as an independent peer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <asio/ip/tcp.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "lab/event_recorder.h"
#include "lab/netns_lab.h"
#include "platform/dnssd/dnssd_advertiser.h"
#include "platform/dnssd/dnssd_resolver.h"
#include "platform/dnssd/mdns_advertised_listener.h"
#include "platform/dnssd/mdns_browsed_connection.h"
#include "platform/dnssd/mdns_dnssd_browser.h"
#include "platform/net/socket_tcp_listener.h"
#include "platform/net/wired_path.h"
#include "platform/system_network_factory.h"

namespace sorvanta {
namespace {

using namespace std::chrono_literals;
using testing::EventRecorder;
using testing::NetnsLab;
using testing::NetnsPair;
using testing::NetnsThread;
using Clock = std::chrono::steady_clock;

// What one side's advertiser and browser reported, readable from the test thread.
class DiscoveryLog {
  public:
    void results(const std::vector<DnssdBrowseResult>& results) {
        std::lock_guard lock(mutex_);
        latest_ = results;
        for (const auto& name : watched_) {
            const bool present = findLocked(name) != nullptr;
            if (present && !firstSeen_.count(name)) {
                firstSeen_[name] = Clock::now();
            }
            if (!present && firstSeen_.count(name)) {
                lost_.insert(name);
            }
        }
        changed_.notify_all();
    }
    void registration(const DnssdRegistrationChange& change) {
        std::lock_guard lock(mutex_);
        registrations_.push_back(change);
        changed_.notify_all();
    }
    void state(const DnssdState& state) {
        std::lock_guard lock(mutex_);
        states_.push_back(state);
        changed_.notify_all();
    }
    void watch(const std::string& name) {
        std::lock_guard lock(mutex_);
        watched_.push_back(name);
    }

    // Waits until `ready` holds (called under the lock) or the time is up.
    template <class Predicate>
    bool waitFor(std::chrono::milliseconds timeout, Predicate ready) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return ready(*this); });
    }

    const DnssdBrowseResult* findLocked(const std::string& name) const {
        auto it = std::find_if(latest_.begin(), latest_.end(),
                               [&](const auto& r) { return r.instanceName() == name; });
        return it == latest_.end() ? nullptr : &*it;
    }
    std::optional<DnssdBrowseResult> find(const std::string& name) {
        std::lock_guard lock(mutex_);
        const auto* found = findLocked(name);
        return found ? std::optional(*found) : std::nullopt;
    }
    std::vector<DnssdBrowseResult> latest() {
        std::lock_guard lock(mutex_);
        return latest_;
    }
    std::vector<DnssdRegistrationChange> registrations() {
        std::lock_guard lock(mutex_);
        return registrations_;
    }
    const std::vector<DnssdState>& states() const { return states_; }
    bool lost(const std::string& name) {
        std::lock_guard lock(mutex_);
        return lost_.count(name) != 0;
    }
    bool hasAdded() const {
        return std::any_of(registrations_.begin(), registrations_.end(), [](const auto& r) {
            return r.kind == DnssdRegistrationChange::Kind::added;
        });
    }
    std::optional<std::string> addedName() {
        std::lock_guard lock(mutex_);
        for (auto it = registrations_.rbegin(); it != registrations_.rend(); ++it) {
            if (it->kind == DnssdRegistrationChange::Kind::added) {
                return it->instanceName;
            }
        }
        return std::nullopt;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<DnssdBrowseResult> latest_;
    std::vector<DnssdRegistrationChange> registrations_;
    std::vector<DnssdState> states_;
    std::vector<std::string> watched_;
    std::map<std::string, Clock::time_point> firstSeen_;
    std::set<std::string> lost_;
};

// One namespace's io thread with its advertiser and browser.
struct Side {
    explicit Side(const std::string& ns, int index) : thread(ns), index(index) {}
    ~Side() {
        thread.call([this] {
            if (advertiser) {
                advertiser->cancel();
            }
            if (browser) {
                browser->cancel();
            }
            advertiser.reset();
            browser.reset();
        });
    }

    void advertise(const std::string& name, std::uint16_t port, const std::string& id,
                   DnssdAdvertiser::Options options = {}, bool pinned = true) {
        if (pinned) {
            options.interfaceIndex = index;
        }
        thread.call([&] {
            DnssdAdvertiser::Service service{
                name, "_sorvanta._tcp", port, {{"v", "9"}, {"id", id}}};
            advertiser = DnssdAdvertiser::create(thread.executor(), service, options);
            advertiser->setStateHandler([this](const DnssdState& s) { adLog.state(s); });
            advertiser->setRegistrationHandler(
                [this](const DnssdRegistrationChange& c) { adLog.registration(c); });
            advertiser->start();
        });
        thread.call([] {});  // start() is posted: its sockets are open after this
    }

    void browse(bool pinned = true) {
        thread.call([&] {
            DnssdBrowser::Options options;
            if (pinned) {
                options.interfaceIndex = index;
            }
            browser = MdnsDnssdBrowser::create(thread.executor(), options);
            browser->setStateHandler([this](const DnssdState& s) { browseLog.state(s); });
            browser->setResultsHandler(
                [this](const std::vector<DnssdBrowseResult>& r) { browseLog.results(r); });
            browser->start();
        });
        thread.call([] {});  // start() is posted: its sockets are open after this
    }

    void stopAdvertising() {
        thread.call([this] {
            advertiser->cancel();
            advertiser.reset();
        });
    }

    NetnsThread thread;
    int index;
    std::shared_ptr<DnssdAdvertiser> advertiser;
    std::shared_ptr<DnssdBrowser> browser;
    DiscoveryLog adLog;
    DiscoveryLog browseLog;
};

bool registered(DiscoveryLog& log, std::chrono::milliseconds timeout) {
    return log.waitFor(timeout, [](DiscoveryLog& l) { return l.hasAdded(); });
}

bool sees(DiscoveryLog& log, const std::string& name, std::chrono::milliseconds timeout) {
    return log.waitFor(timeout, [&](DiscoveryLog& l) { return l.findLocked(name) != nullptr; });
}

bool doesNotSee(DiscoveryLog& log, const std::string& name, std::chrono::milliseconds timeout) {
    return log.waitFor(timeout, [&](DiscoveryLog& l) { return l.findLocked(name) == nullptr; });
}

// A advertises "Alpha" with `options` and B browses; true once B sees it.
bool bSeesAlpha(Side& a, Side& b, DnssdAdvertiser::Options options = {}) {
    a.advertise("Alpha", 4000, "AAAA", options);
    b.browse();
    return sees(b.browseLog, "Alpha", 3s);
}

// Records that live a few seconds, so that a short test spans several of their refreshes.
DnssdAdvertiser::Options shortLived() {
    DnssdAdvertiser::Options options;
    options.hostTtl = 2;
    options.otherTtl = 3;
    return options;
}

// A TCP listener pinned to one side's end of the cable; it keeps the connection it
// accepts, where that came from and the first five bytes that arrive on it.
struct ControlListener {
    ControlListener(Side& side, const NetworkInterface& interface) : side(side) {
        side.thread.call([&] {
            listener =
                SocketTcpListener::create(side.thread.executor(), makeWiredParameters(interface));
            listener->setStateHandler([this](const ListenerState& state) {
                if (state.kind == ListenerState::Kind::ready) {
                    listening.set_value(state.port);
                }
            });
            listener->setNewConnectionHandler([this](std::shared_ptr<TcpConnection> connection) {
                inbound = connection;
                accepted.set_value(connection->endpoint());
                connection->start();
                connection->receive(5, 5, [this](std::span<const std::uint8_t> data, bool, auto) {
                    received.set_value(std::string(data.begin(), data.end()));
                });
            });
            listener->start();
        });
    }
    ~ControlListener() {
        side.thread.call([this] {
            if (inbound) {
                inbound->cancel();
            }
            listener->cancel();
        });
    }
    std::uint16_t port() {
        auto future = listening.get_future();
        return future.wait_for(3s) == std::future_status::ready ? future.get() : 0;
    }

    Side& side;
    std::shared_ptr<TcpListener> listener;
    std::shared_ptr<TcpConnection> inbound;
    std::promise<std::uint16_t> listening;
    std::promise<Endpoint> accepted;
    std::promise<std::string> received;
};

// Both sides of the cable, each end of it as a wired interface, and A's control listener
// pinned to its end; `port` is the listener's (0 if it never became ready).
struct SidesWithControl {
    explicit SidesWithControl(NetnsPair& pair)
        : a(pair.nsA, pair.link.indexA),
          b(pair.nsB, pair.link.indexB),
          interfaceA{pair.link.nameA, pair.link.indexA, InterfaceType::wiredEthernet},
          interfaceB{pair.link.nameB, pair.link.indexB, InterfaceType::wiredEthernet},
          control(a, interfaceA),
          port(control.port()) {}

    Side a;
    Side b;
    const NetworkInterface interfaceA;
    const NetworkInterface interfaceB;
    ControlListener control;
    const std::uint16_t port;
};

TEST(DnssdNetnsTest, EachSideFindsTheOtherConnectsAndSeesItLeave) {
    SORVANTA_NETNS_PAIR_OR_SKIP(pair);
    SidesWithControl sides(*pair);
    auto& [a, b, interfaceA, interfaceB, control, port] = sides;
    ASSERT_NE(port, 0);

    a.advertise("Alpha", port, "AAAA");
    b.advertise("Bravo", 4242, "BBBB");
    a.browse();
    b.browse(false);  // unpinned: every wired interface of B
    ASSERT_TRUE(sees(b.browseLog, "Alpha", 2s));
    ASSERT_TRUE(sees(a.browseLog, "Bravo", 2s));

    const auto alpha = *b.browseLog.find("Alpha");
    EXPECT_EQ(alpha.interface(), interfaceB);
    EXPECT_EQ(alpha.endpointText, "Alpha._sorvanta._tcp.local.%" + pair->link.nameB);
    ASSERT_TRUE(alpha.txt.has_value());
    EXPECT_EQ(alpha.txt->at("id"), "AAAA");
    EXPECT_EQ(alpha.txt->at("v"), "9");
    EXPECT_EQ(a.browseLog.find("Bravo")->txt->at("id"), "BBBB");
    // Each side also hears its own advertisement, as a system browser would.
    EXPECT_TRUE(sees(a.browseLog, "Alpha", 2s));

    // The browsed result resolves on B's interface to both of A's addresses, IPv6
    // link-local first with B's interface as its scope.
    std::promise<std::vector<asio::ip::tcp::endpoint>> resolved;
    std::shared_ptr<DnssdResolver> resolver;
    b.thread.call([&] {
        resolver = DnssdResolver::create(b.thread.executor(), alpha.endpoint);
        resolver->start([&](const auto& addresses, std::optional<PlatformError> error) {
            EXPECT_FALSE(error.has_value()) << error->text();
            resolved.set_value(addresses);
        });
    });
    auto resolvedFuture = resolved.get_future();
    ASSERT_EQ(resolvedFuture.wait_for(3s), std::future_status::ready);
    const auto addresses = resolvedFuture.get();
    ASSERT_EQ(addresses.size(), 2u);
    EXPECT_TRUE(addresses[0].address().is_v6());
    EXPECT_EQ(addresses[0].address().to_v6().scope_id(), static_cast<unsigned>(pair->link.indexB));
    auto unscoped = [](asio::ip::address_v6 address) {
        address.scope_id(0);
        return address.to_string();
    };
    EXPECT_EQ(unscoped(addresses[0].address().to_v6()), pair->ipv6A);
    EXPECT_EQ(addresses[1].address().to_string(), pair->ipv4A);
    EXPECT_EQ(addresses[0].port(), port);

    // The system's connection to the browsed endpoint, pinned to B's end, reaches A.
    std::promise<void> ready;
    std::shared_ptr<TcpConnection> outbound;
    b.thread.call([&] {
        outbound = SystemNetworkFactory().makeBrowsedConnection(b.thread.executor(), alpha.endpoint,
                                                                makeWiredParameters(interfaceB));
        outbound->setStateHandler([&](const TransportState& state) {
            if (state.kind == TransportState::Kind::ready) {
                ready.set_value();
            }
        });
        outbound->start();
    });
    ASSERT_EQ(ready.get_future().wait_for(3s), std::future_status::ready);
    auto acceptedFuture = control.accepted.get_future();
    ASSERT_EQ(acceptedFuture.wait_for(3s), std::future_status::ready);
    const auto peer = acceptedFuture.get().host.to_v6();
    EXPECT_EQ(unscoped(peer), pair->ipv6B);
    EXPECT_EQ(peer.scope_id(), static_cast<unsigned>(pair->link.indexA));

    // A cancels: the goodbye removes it from B's results within 2 seconds.
    const auto cancelled = Clock::now();
    a.stopAdvertising();
    ASSERT_TRUE(doesNotSee(b.browseLog, "Alpha", 2s));
    EXPECT_GE(Clock::now() - cancelled, 900ms);  // the one-second grace
    EXPECT_TRUE(b.browseLog.find("Bravo").has_value());
    b.thread.call([&] {
        outbound->cancel();
        outbound.reset();
        resolver.reset();
    });
}

TEST(DnssdNetnsTest, ACableWithOnlyIpv6LinkLocalAddressesIsEnough) {
    SORVANTA_NETNS_PAIR_OR_SKIP(pair);
    // The usual direct cable between two Linux computers: no IPv4 address at all.
    pair->lab.ip(pair->nsA, "-4 addr flush dev " + pair->link.nameA);
    pair->lab.ip(pair->nsB, "-4 addr flush dev " + pair->link.nameB);
    Side a(pair->nsA, pair->link.indexA);
    Side b(pair->nsB, pair->link.indexB);
    a.advertise("Alpha", 4000, "AAAA");
    b.browse();
    ASSERT_TRUE(sees(b.browseLog, "Alpha", 2s));
    std::promise<std::vector<asio::ip::tcp::endpoint>> resolved;
    std::shared_ptr<DnssdResolver> resolver;
    b.thread.call([&] {
        resolver = DnssdResolver::create(b.thread.executor(), b.browseLog.find("Alpha")->endpoint);
        resolver->start([&](const auto& addresses, std::optional<PlatformError>) {
            resolved.set_value(addresses);
        });
    });
    auto future = resolved.get_future();
    ASSERT_EQ(future.wait_for(3s), std::future_status::ready);
    const auto addresses = future.get();
    ASSERT_EQ(addresses.size(), 1u);
    EXPECT_TRUE(addresses[0].address().to_v6().is_link_local());
    EXPECT_EQ(addresses[0].address().to_v6().scope_id(), static_cast<unsigned>(pair->link.indexB));
    b.thread.call([&] { resolver.reset(); });
}

TEST(DnssdNetnsTest, ABrowserStartedAfterTheAnnouncementsFindsThePeerByQuerying) {
    SORVANTA_NETNS_PAIR_OR_SKIP(pair);
    Side a(pair->nsA, pair->link.indexA);
    Side b(pair->nsB, pair->link.indexB);
    a.advertise("Alpha", 4000, "AAAA");
    ASSERT_TRUE(registered(a.adLog, 3s));
    std::this_thread::sleep_for(2500ms);  // past the announcements: only a query finds it
    b.browse();
    ASSERT_TRUE(sees(b.browseLog, "Alpha", 2s));
    EXPECT_EQ(b.browseLog.find("Alpha")->txt->at("id"), "AAAA");
}

TEST(DnssdNetnsTest, TwoComputersWithTheSameNameBothEndUpVisible) {
    SORVANTA_NETNS_PAIR_OR_SKIP(pair);
    Side a(pair->nsA, pair->link.indexA);
    Side b(pair->nsB, pair->link.indexB);
    a.advertise("Twin", 4001, "AAAA");
    b.advertise("Twin", 4002, "BBBB");
    a.browse();
    ASSERT_TRUE(a.browseLog.waitFor(8s, [](DiscoveryLog& l) {
        return l.findLocked("Twin") != nullptr && l.findLocked("Twin (2)") != nullptr;
    }));
    const auto first = a.browseLog.find("Twin");
    const auto second = a.browseLog.find("Twin (2)");
    EXPECT_NE(first->txt->at("id"), second->txt->at("id"));
    // The renamed side reported its new name.
    ASSERT_TRUE(registered(a.adLog, 1s));
    ASSERT_TRUE(registered(b.adLog, 1s));
    const auto nameA = a.adLog.addedName();
    const auto nameB = b.adLog.addedName();
    EXPECT_NE(nameA, nameB);
    EXPECT_TRUE(nameA == "Twin (2)" || nameB == "Twin (2)");
}

TEST(DnssdNetnsTest, APeerThatStaysUpStaysInTheResultsAcrossTtlRefreshes) {
    SORVANTA_NETNS_PAIR_OR_SKIP(pair);
    Side a(pair->nsA, pair->link.indexA);
    Side b(pair->nsB, pair->link.indexB);
    b.browseLog.watch("Alpha");
    ASSERT_TRUE(bSeesAlpha(a, b, shortLived()));
    std::this_thread::sleep_for(10s);  // more than three TTLs
    EXPECT_FALSE(b.browseLog.lost("Alpha"));
    EXPECT_TRUE(b.browseLog.find("Alpha").has_value());
}

TEST(DnssdNetnsTest, AfterTheCableIsPluggedBackThePeerIsFoundAgainAtOnce) {
    SORVANTA_NETNS_PAIR_OR_SKIP(pair);
    Side a(pair->nsA, pair->link.indexA);
    Side b(pair->nsB, pair->link.indexB);
    ASSERT_TRUE(bSeesAlpha(a, b, shortLived()));
    // By now the browser's next query is more than 8 seconds away.
    std::this_thread::sleep_for(6s);
    pair->lab.ip(pair->nsB, "link set dev " + pair->link.nameB + " down");
    ASSERT_TRUE(doesNotSee(b.browseLog, "Alpha", 5s));
    pair->lab.ip(pair->nsB, "link set dev " + pair->link.nameB + " up");
    EXPECT_TRUE(sees(b.browseLog, "Alpha", 2500ms));
}

// The other end of the cable goes down: the records heard over it go ten seconds later, not
// when their TTL ends (75 minutes for the service records), and come back with the link.
TEST(DnssdNetnsTest, CarrierLossDropsWhatWasHeardOverTheLink) {
    SORVANTA_NETNS_PAIR_OR_SKIP(pair);
    Side a(pair->nsA, pair->link.indexA);
    Side b(pair->nsB, pair->link.indexB);
    ASSERT_TRUE(bSeesAlpha(a, b));
    pair->lab.ip(pair->nsA, "link set dev " + pair->link.nameA + " down");
    EXPECT_TRUE(doesNotSee(b.browseLog, "Alpha", 13s));
    pair->lab.ip(pair->nsA, "link set dev " + pair->link.nameA + " up");
    pair->lab.ip(pair->nsA,
                 "-6 addr replace " + pair->ipv6A + "/64 dev " + pair->link.nameA + " nodad");
    pair->lab.ip(pair->nsB,
                 "-6 addr replace " + pair->ipv6B + "/64 dev " + pair->link.nameB + " nodad");
    EXPECT_TRUE(sees(b.browseLog, "Alpha", 5s));
}

TEST(DnssdNetnsTest, MalformedPacketsAreDroppedAndCountedWhileDiscoveryGoesOn) {
    SORVANTA_NETNS_PAIR_OR_SKIP(pair);
    Side a(pair->nsA, pair->link.indexA);
    Side b(pair->nsB, pair->link.indexB);
    a.browse();
    const std::vector<std::vector<std::uint8_t>> garbage = {
        {0, 0, 0x84, 0},                                                // shorter than a header
        {0, 0, 0x84, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0xC0, 12, 0, 1, 0, 1},  // pointer to itself
        {0, 0, 0x84, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0, 0},                  // counts beyond the packet
    };
    b.thread.call([&] {
        for (auto family : {MdnsSocket::Family::ipv4, MdnsSocket::Family::ipv6}) {
            auto socket = MdnsSocket::create(b.thread.executor());
            ASSERT_FALSE(socket->open(family, b.index).has_value());
            for (const auto& packet : garbage) {
                socket->send(packet);
            }
            socket->close();
        }
    });
    b.advertise("Bravo", 4000, "BBBB");
    ASSERT_TRUE(sees(a.browseLog, "Bravo", 2s));
    const auto dropped = a.thread.call([&] { return a.browser->malformedPackets(); });
    EXPECT_EQ(dropped, 2 * garbage.size());
}

TEST(DnssdNetnsTest, AnAdvertisementWaitsForItsInterfaceRefusesNoPortAndCutsLongNames) {
    SORVANTA_NETNS_PAIR_OR_SKIP(pair);
    Side a(pair->nsA, pair->link.indexA);
    Side b(pair->nsB, pair->link.indexB);
    pair->lab.ip(pair->nsA, "link set dev " + pair->link.nameA + " down");
    a.advertise("Alpha", 4000, "AAAA");
    ASSERT_TRUE(a.adLog.waitFor(2s, [](DiscoveryLog& l) {
        return !l.states().empty() &&
               l.states().back() == DnssdState::waiting(PlatformError::posix(ENETDOWN));
    }));
    b.browse();
    pair->lab.ip(pair->nsA, "link set dev " + pair->link.nameA + " up");
    EXPECT_TRUE(a.adLog.waitFor(
        4s, [](DiscoveryLog& l) { return l.states().back().kind == DnssdState::Kind::ready; }));
    EXPECT_TRUE(sees(b.browseLog, "Alpha", 5s));

    Side c(pair->nsA, pair->link.indexA);
    c.advertise("No port", 0, "CCCC");
    EXPECT_TRUE(c.adLog.waitFor(1s, [](DiscoveryLog& l) {
        return !l.states().empty() &&
               l.states().back() == DnssdState::failed(PlatformError::dnssd(-65540));
    }));

    // A name longer than one label is cut to 63 bytes rather than refused.
    Side d(pair->nsA, pair->link.indexA);
    d.advertise(std::string(70, 'x'), 4001, "DDDD");
    ASSERT_TRUE(registered(d.adLog, 3s));
    EXPECT_EQ(d.adLog.addedName(), std::string(63, 'x'));
}

TEST(DnssdNetnsTest, ReleasingAnAdvertisementWithoutCancelStillSaysGoodbye) {
    SORVANTA_NETNS_PAIR_OR_SKIP(pair);
    Side a(pair->nsA, pair->link.indexA);
    Side b(pair->nsB, pair->link.indexB);
    ASSERT_TRUE(bSeesAlpha(a, b));
    a.thread.call([&] { a.advertiser.reset(); });  // as at a normal exit
    EXPECT_TRUE(doesNotSee(b.browseLog, "Alpha", 2s));
}

TEST(DnssdNetnsTest, TwoOfOurInterfacesOnOneCableDoNotRenameEachOther) {
    SORVANTA_NETNS_PAIR_OR_SKIP(pair);
    // Both ends of a second cable in A: an unpinned advertisement covers both.
    const auto loop = pair->lab.addLink(pair->nsA, pair->nsA);
    pair->lab.ip(pair->nsA, "addr add fe80::11/64 dev " + loop.nameA + " nodad");
    pair->lab.ip(pair->nsA, "addr add fe80::12/64 dev " + loop.nameB + " nodad");
    Side a(pair->nsA, loop.indexA);
    a.advertise("Loop", 4000, "AAAA", {}, false);
    a.browse();
    ASSERT_TRUE(sees(a.browseLog, "Loop", 3s));
    std::this_thread::sleep_for(3s);
    const auto registrations = a.adLog.registrations();
    ASSERT_EQ(registrations.size(), 1u);
    EXPECT_EQ(registrations[0].text(), "added(Loop)");
    EXPECT_EQ(a.browseLog.latest().size(), 1u);
}

bool hasState(const std::vector<std::string>& events, const std::string& state) {
    return std::find(events.begin(), events.end(), state) != events.end();
}

TEST(DnssdNetnsTest, ABrowsedConnectionWaitsWhileTheServiceIsMissingAndConnectsOnceItAppears) {
    SORVANTA_NETNS_PAIR_OR_SKIP(pair);
    SidesWithControl sides(*pair);
    auto& [a, b, interfaceA, interfaceB, control, port] = sides;
    ASSERT_NE(port, 0);

    // B dials "Alpha" before anyone advertises it: each resolution times out and the one
    // connection waits, keeping what was sent meanwhile.
    EventRecorder<std::string> states;
    std::shared_ptr<TcpConnection> outbound;
    auto parameters = makeWiredParameters(interfaceB);
    parameters.liveness = NetworkParameters::Liveness{1s, 1s, 2s};
    b.thread.call([&] {
        outbound = MdnsBrowsedConnection::create(
            b.thread.executor(), DnssdEndpoint{"Alpha", "_sorvanta._tcp", "local", interfaceB, {}},
            parameters, 300ms);
        outbound->setStateHandler([&](const TransportState& s) { states.push(s.text()); });
        outbound->start();
        outbound->send(TcpConnection::Bytes{'h', 'e', 'l', 'l', 'o'}, [](auto) {});
    });
    const std::string timedOut = TransportState::waiting(PlatformError::posix(ETIMEDOUT)).text();
    ASSERT_TRUE(states.waitFor([&](const auto& v) { return hasState(v, timedOut); }, 2s));
    std::this_thread::sleep_for(1500ms);  // a retry that resolves again, and fails again

    a.advertise("Alpha", port, "AAAA");
    ASSERT_TRUE(states.waitFor([](const auto& v) { return hasState(v, "ready"); }, 6s));
    EXPECT_EQ(states.values(), (std::vector<std::string>{"preparing", timedOut, "ready"}));
    auto bytes = control.received.get_future();
    ASSERT_EQ(bytes.wait_for(3s), std::future_status::ready);
    EXPECT_EQ(bytes.get(), "hello");

    // A goes silent: the connection's liveness checks fail it, and its path stays known to
    // the owner that handles the failure.
    EventRecorder<std::optional<PlatformError>> received;
    b.thread.call([&] {
        outbound->receive(
            1, 100, [&](std::span<const std::uint8_t>, bool, std::optional<PlatformError> error) {
                received.push(error);
            });
    });
    pair->lab.silence(pair->nsA);
    const std::string failed = TransportState::failed(PlatformError::posix(ETIMEDOUT)).text();
    EXPECT_TRUE(states.waitFor([&](const auto& v) { return hasState(v, failed); }, 6s));
    ASSERT_TRUE(received.waitForCount(1, 1s));
    EXPECT_EQ(received.values()[0], PlatformError::posix(ETIMEDOUT));
    const auto path = b.thread.call([&] { return outbound->currentPath(); });
    ASSERT_TRUE(path);
    EXPECT_TRUE(isWiredPath(*path, interfaceB));
    pair->lab.unsilence(pair->nsA);
    b.thread.call([&] { outbound->cancel(); });
}

// Runs a command inside a namespace; fails the test when it does not succeed.
void inNamespace(const std::string& ns, const std::string& command) {
    const auto result = testing::runCommand("ip netns exec " + ns + " " + command);
    ASSERT_EQ(result.status, 0) << command << ": " << result.output;
}

// A resolves to its IPv6 link-local address first, then its IPv4 one. When B cannot reach the
// first, the one connection goes on to the next (reporting nothing in between) and is ready
// before the three seconds its owner gives a dial; when B can reach none, it waits with the
// last error and, resolving again, gets there once a way is open.
TEST(DnssdNetnsTest, ABrowsedConnectionGoesOnToTheNextAddressWhenOneCannotBeReached) {
    const auto noIpv6 = [](testing::NetnsPair& p) {
        inNamespace(p.nsB, "sysctl -q -w net.ipv6.conf." + p.link.nameB + ".disable_ipv6=1");
    };
    // Frames for A's IPv6 address go to a hardware address nobody on the cable has: its
    // SYNs vanish without an answer.
    const auto ipv6Dropped = [](testing::NetnsPair& p) {
        p.lab.ip(p.nsB, "-6 neigh replace " + p.ipv6A + " dev " + p.link.nameB +
                            " lladdr 02:00:00:00:5a:99 nud permanent");
    };
    // A turns IPv4 TCP away with a reset, or takes it again.
    const auto ipv4Refused = [](testing::NetnsPair& p) {
        inNamespace(p.nsA, "nft add table inet dial");
        inNamespace(p.nsA, "nft 'add chain inet dial in { type filter hook input priority 0; }'");
        inNamespace(p.nsA, "nft add rule inet dial in ip protocol tcp reject with tcp reset");
    };
    const auto ipv4Taken = [](testing::NetnsPair& p) {
        inNamespace(p.nsA, "nft delete table inet dial");
    };
    struct Case {
        const char* name;
        std::function<void(testing::NetnsPair&)> cut;
        std::function<void(testing::NetnsPair&)> reopen;  // none: one address stays reachable
        int error = 0;  // what the connection waits with before `reopen`
    };
    const Case cases[] = {
        {"IPv6 disabled on the dialling end", noIpv6, {}},
        {"IPv6 silently dropped", ipv6Dropped, {}},
        {"every address fails, then IPv4 is taken again",
         [&](testing::NetnsPair& p) {
             noIpv6(p);
             ipv4Refused(p);
         },
         ipv4Taken, ECONNREFUSED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SORVANTA_NETNS_PAIR_OR_SKIP(pair);
        c.cut(*pair);
        SidesWithControl sides(*pair);
        auto& [a, b, interfaceA, interfaceB, control, port] = sides;
        ASSERT_NE(port, 0);
        a.advertise("Alpha", port, "AAAA");
        ASSERT_TRUE(registered(a.adLog, 3s));

        EventRecorder<std::string> states;
        std::shared_ptr<TcpConnection> outbound;
        b.thread.call([&] {
            outbound = MdnsBrowsedConnection::create(
                b.thread.executor(),
                DnssdEndpoint{"Alpha", "_sorvanta._tcp", "local", interfaceB, {}},
                makeWiredParameters(interfaceB));
            outbound->setStateHandler([&](const TransportState& s) { states.push(s.text()); });
            outbound->start();
            outbound->send(TcpConnection::Bytes{'h', 'e', 'l', 'l', 'o'}, [](auto) {});
        });
        std::vector<std::string> expected{"preparing"};
        if (c.reopen) {
            const auto waiting = TransportState::waiting(PlatformError::posix(c.error)).text();
            ASSERT_TRUE(states.waitFor([&](const auto& v) { return hasState(v, waiting); }, 3s))
                << ::testing::PrintToString(states.values());
            c.reopen(*pair);
            expected.push_back(waiting);
        }
        expected.push_back("ready");
        ASSERT_TRUE(states.waitFor([](const auto& v) { return hasState(v, "ready"); },
                                   c.reopen ? 4s : 2900ms));
        EXPECT_EQ(states.values(), expected);
        auto accepted = control.accepted.get_future();
        ASSERT_EQ(accepted.wait_for(3s), std::future_status::ready);
        EXPECT_EQ(accepted.get().host.to_string(), pair->ipv4B);
        auto bytes = control.received.get_future();
        ASSERT_EQ(bytes.wait_for(3s), std::future_status::ready);
        EXPECT_EQ(bytes.get(), "hello");
        b.thread.call([&] { outbound->cancel(); });
    }
}

TEST(DnssdNetnsTest, AnAdvertisedListenerIsReadyOnceRegisteredAndFailsWithoutTheMdnsPort) {
    SORVANTA_NETNS_PAIR_OR_SKIP(pair);
    Side a(pair->nsA, pair->link.indexA);
    Side b(pair->nsB, pair->link.indexB);
    auto listen = [](Side& side, const std::string& interfaceName, int index,
                     EventRecorder<std::string>& events) {
        return side.thread.call([&] {
            auto listener = MdnsAdvertisedListener::create(
                side.thread.executor(),
                makeWiredParameters({interfaceName, index, InterfaceType::wiredEthernet}),
                {"Alpha", "_sorvanta._tcp", {{"v", "9"}}});
            listener->setStateHandler([&](const ListenerState& s) {
                events.push(s.kind == ListenerState::Kind::ready ? "ready" : s.text());
            });
            listener->setRegistrationHandler(
                [&](const DnssdRegistrationChange& c) { events.push(c.text()); });
            listener->start();
            return listener;
        });
    };
    EventRecorder<std::string> eventsA;
    auto advertised = listen(a, pair->link.nameA, pair->link.indexA, eventsA);
    a.browse();
    ASSERT_TRUE(eventsA.waitFor([](const auto& v) { return hasState(v, "ready"); }, 4s));
    EXPECT_EQ(eventsA.values(), (std::vector<std::string>{"added(Alpha)", "ready"}));
    EXPECT_NE(a.thread.call([&] { return advertised->port(); }), 0);
    EXPECT_TRUE(sees(a.browseLog, "Alpha", 2s));

    // Another program holds port 5353 in B without sharing it: advertising cannot start.
    const int holder = b.thread.call([] {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(5353);
        return ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ? fd : -1;
    });
    ASSERT_GE(holder, 0);
    EventRecorder<std::string> eventsB;
    auto blocked = listen(b, pair->link.nameB, pair->link.indexB, eventsB);
    const std::string failed =
        ListenerState{ListenerState::Kind::failed, PlatformError::posix(EADDRINUSE), 0}.text();
    EXPECT_TRUE(eventsB.waitFor([&](const auto& v) { return hasState(v, failed); }, 2s));
    EXPECT_FALSE(hasState(eventsB.values(), "ready"));
    ::close(holder);
    a.thread.call([&] { advertised->cancel(); });
    b.thread.call([&] { blocked->cancel(); });
}

// ---- interoperability with python3-zeroconf -------------------------------------------

std::string python() {
    return std::filesystem::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
}

std::string peerScript() {
    return SORVANTA_ZEROCONF_PEER;
}

std::string zeroconfMissing() {
    const std::string command = python() + " -c 'import zeroconf' 2>/dev/null";
    return std::system(command.c_str()) == 0 ? "" : "python3-zeroconf is not installed";
}

// A child process inside a namespace with its standard input and output piped.
class PeerProcess {
  public:
    PeerProcess(const std::string& ns, std::vector<std::string> arguments) {
        int in[2];
        int out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe");
        }
        std::vector<std::string> argv = {"ip", "netns", "exec", ns, python(), peerScript()};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            std::vector<char*> raw;
            for (auto& a : argv) {
                raw.push_back(a.data());
            }
            raw.push_back(nullptr);
            ::execvp(raw[0], raw.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        stdin_ = in[1];
        stdout_ = ::fdopen(out[0], "r");
    }
    ~PeerProcess() {
        closeInput();
        if (stdout_ != nullptr) {
            std::fclose(stdout_);
        }
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    std::string readLine() {
        char line[512] = {};
        if (std::fgets(line, sizeof line, stdout_) == nullptr) {
            return "";
        }
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
            text.pop_back();
        }
        return text;
    }
    void closeInput() {
        if (stdin_ >= 0) {
            ::close(stdin_);
            stdin_ = -1;
        }
    }

  private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    FILE* stdout_ = nullptr;
};

TEST(DnssdNetnsTest, ZeroconfResolvesOurServiceWithItsTxt) {
    if (auto missing = zeroconfMissing(); !missing.empty()) {
        GTEST_SKIP() << missing;
    }
    SORVANTA_NETNS_PAIR_OR_SKIP(pair);
    Side a(pair->nsA, pair->link.indexA);
    a.advertise("Ours Here", 4321, "OURID");
    ASSERT_TRUE(registered(a.adLog, 3s));
    PeerProcess peer(pair->nsB, {"resolve", "Ours Here", pair->ipv4B, "10"});
    EXPECT_EQ(peer.readLine(), "found 4321 id=OURID v=9");
}

TEST(DnssdNetnsTest, WeBrowseAndResolveAServiceZeroconfRegisters) {
    if (auto missing = zeroconfMissing(); !missing.empty()) {
        GTEST_SKIP() << missing;
    }
    SORVANTA_NETNS_PAIR_OR_SKIP(pair);
    Side a(pair->nsA, pair->link.indexA);
    Side b(pair->nsB, pair->link.indexB);
    // Our advertiser shares port 5353 in A with zeroconf's responder.
    a.advertise("Neighbour", 4100, "AAAA");
    PeerProcess peer(pair->nsA, {"register", "Theirs", "5123", pair->ipv4A, pair->ipv6A});
    ASSERT_EQ(peer.readLine(), "registered");
    b.browse();
    ASSERT_TRUE(b.browseLog.waitFor(5s, [](DiscoveryLog& l) {
        const auto* theirs = l.findLocked("Theirs");
        return theirs != nullptr && theirs->txt.has_value() && l.findLocked("Neighbour");
    }));
    const auto theirs = *b.browseLog.find("Theirs");
    EXPECT_EQ(theirs.txt->at("id"), "zeroconf-peer");
    EXPECT_EQ(theirs.txt->at("v"), "9");
    EXPECT_EQ(theirs.txt->count("flag"), 1u);  // a bare key: present with no value
    EXPECT_EQ(theirs.txt->at("flag"), "");

    // The resolution starts from the records that came with the browse answer: it does
    // not wait for the second the responder keeps between two multicasts of a record,
    // and it has both families.
    std::promise<std::vector<asio::ip::tcp::endpoint>> resolved;
    std::shared_ptr<DnssdResolver> resolver;
    const auto resolving = Clock::now();
    b.thread.call([&] {
        resolver = DnssdResolver::create(b.thread.executor(), theirs.endpoint);
        resolver->start([&](const auto& addresses, std::optional<PlatformError> error) {
            EXPECT_FALSE(error.has_value());
            resolved.set_value(addresses);
        });
    });
    auto future = resolved.get_future();
    ASSERT_EQ(future.wait_for(5s), std::future_status::ready);
    EXPECT_LT(Clock::now() - resolving, 900ms);
    const auto addresses = future.get();
    ASSERT_EQ(addresses.size(), 2u);
    EXPECT_EQ(addresses[0].address().to_v6().scope_id(), static_cast<unsigned>(pair->link.indexB));
    EXPECT_EQ(addresses.back().address().to_string(), pair->ipv4A);
    EXPECT_EQ(addresses.back().port(), 5123);

    // Zeroconf's goodbye on unregistering removes it.
    peer.closeInput();
    EXPECT_TRUE(doesNotSee(b.browseLog, "Theirs", 4s));
    b.thread.call([&] { resolver.reset(); });
}

// Every line the peer prints until it exits.
std::vector<std::string> allLines(PeerProcess& peer) {
    std::vector<std::string> lines;
    for (auto line = peer.readLine(); !line.empty(); line = peer.readLine()) {
        lines.push_back(line);
    }
    return lines;
}

TEST(DnssdNetnsTest, ZeroconfListsOurTypeAndGetsUnicastAndOneShotAnswers) {
    if (auto missing = zeroconfMissing(); !missing.empty()) {
        GTEST_SKIP() << missing;
    }
    SORVANTA_NETNS_PAIR_OR_SKIP(pair);
    Side a(pair->nsA, pair->link.indexA);
    a.advertise("Ours Here", 4321, "OURID");
    ASSERT_TRUE(registered(a.adLog, 3s));
    const std::string instance = "Ours Here._sorvanta._tcp.local.";
    const std::string type = "_sorvanta._tcp.local.";
    // The asker's socket is bound to its unicast address: it hears unicast replies only.
    // Right after the announcements a group answer would be held back for a second.
    struct Case {
        std::string kind;
        std::string name;
        int type;
        std::string header;
        std::string firstRecord;  // "TYPE TTL FLUSH"
    };
    const std::vector<Case> cases = {
        {"qu", instance, 33, "reply port=5353 id=0 questions=0", "33 120 1"},
        {"qu", type, 12, "reply port=5353 id=0 questions=0", "12 4500 0"},
        {"legacy", instance, 33, "reply port=5353 id=4660 questions=1", "33 10 0"},
        {"legacy", type, 12, "reply port=5353 id=4660 questions=1", "12 10 0"},
    };
    for (const auto& c : cases) {
        PeerProcess peer(pair->nsB, {"query", c.kind, c.name, std::to_string(c.type), pair->ipv4B});
        const auto lines = allLines(peer);
        ASSERT_GE(lines.size(), 2u) << c.kind << " " << c.name;
        EXPECT_EQ(lines[0], c.header) << c.kind << " " << c.name;
        EXPECT_EQ(lines[1], c.firstRecord) << c.kind << " " << c.name;
    }
    // A browser listing every service type sees ours.
    PeerProcess types(pair->nsB, {"types", pair->ipv4B, "2"});
    EXPECT_NE(types.readLine().find("_sorvanta._tcp.local."), std::string::npos);
}

// The listener and its registration as one object: waiting while its link is down (the
// listener alone would be ready), ready with the port once advertised, and gone from the
// peer's browser after cancel.
TEST(DnssdNetnsTest, AnAdvertisedListenerIsReadyOnlyOnceTheServiceIsAdvertised) {
    SORVANTA_NETNS_PAIR_OR_SKIP(pair);
    Side a(pair->nsA, pair->link.indexA);
    Side b(pair->nsB, pair->link.indexB);
    const NetworkInterface interfaceA{pair->link.nameA, pair->link.indexA,
                                      InterfaceType::wiredEthernet};
    pair->lab.ip(pair->nsA, "link set dev " + pair->link.nameA + " down");
    testing::EventRecorder<ListenerState> states;
    auto listener = a.thread.call([&] {
        auto l =
            MdnsAdvertisedListener::create(a.thread.executor(), makeWiredParameters(interfaceA),
                                           {"Alpha", "_sorvanta._tcp", {{"v", "9"}}});
        l->setStateHandler([&states](const ListenerState& s) { states.push(s); });
        l->start();
        return l;
    });
    const auto last = [](ListenerState::Kind kind) {
        return [kind](const std::vector<ListenerState>& v) {
            return !v.empty() && v.back().kind == kind;
        };
    };
    ASSERT_TRUE(states.waitFor(last(ListenerState::Kind::waiting), 3s));
    EXPECT_EQ(listener->port(), 0);
    pair->lab.ip(pair->nsA, "link set dev " + pair->link.nameA + " up");
    ASSERT_TRUE(states.waitFor(last(ListenerState::Kind::ready), 5s));
    EXPECT_NE(listener->port(), 0);
    b.browse();
    ASSERT_TRUE(sees(b.browseLog, "Alpha", 3s));
    a.thread.call([&] { listener->cancel(); });
    EXPECT_TRUE(doesNotSee(b.browseLog, "Alpha", 3s));
    EXPECT_EQ(states.values().back().kind, ListenerState::Kind::ready);  // cancelled: not told
    a.thread.call([&] { listener.reset(); });
}

}  // namespace
}  // namespace sorvanta
