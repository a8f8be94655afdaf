#include "platform/dnssd/mdns_browser.h"

#include <gtest/gtest.h>

#include "mdns_simulated_link.h"
#include "platform/dnssd/mdns_resolver.h"
#include "platform/dnssd/mdns_responder.h"

namespace sorvanta {
namespace {

using namespace std::chrono_literals;
using testing::MdnsSimulatedLink;

const MdnsName serviceType = MdnsName::fromText("_sorvanta._tcp.local");

MdnsServiceDescription service(const std::string& name, std::uint32_t hostTtl,
                               std::uint32_t otherTtl) {
    MdnsServiceDescription d;
    d.instanceName = name;
    d.serviceType = serviceType;
    d.port = 40001;
    d.txt = {"v=9", "ID=abc", "id=ignored"};
    d.hostLabel = "host-" + name;
    d.ipv4 = {{169, 254, 7, 1}};
    d.ipv6 = {{0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}};
    d.hostTtl = hostTtl;
    d.otherTtl = otherTtl;
    return d;
}

std::size_t queriesSent(const MdnsSimulatedLink& link, std::size_t node) {
    std::size_t count = 0;
    for (const auto& [sender, message] : link.sent) {
        count += sender == node && !message.isResponse();
    }
    return count;
}

// A responder advertising `advertised` and a browser of its type on one link, both started at
// the same moment.
struct BrowsedPeer {
    explicit BrowsedPeer(std::uint32_t browserSeed,
                         MdnsServiceDescription advertised = service("Desk", 120, 4500))
        : responder(std::move(advertised), 1),
          browser(serviceType, browserSeed),
          responderNode(link.attach(responder)),
          browserNode(link.attach(browser)) {
        responder.start(link.now);
        browser.start(link.now);
    }

    MdnsSimulatedLink link;
    MdnsResponder responder;
    MdnsBrowser browser;
    std::size_t responderNode;
    std::size_t browserNode;
};

TEST(MdnsBrowserTest, FindsAnAdvertisingPeerWithItsTxtWellWithinASecond) {
    MdnsSimulatedLink link;
    MdnsResponder responder(service("Desk", 120, 4500), 1);
    link.attach(responder);
    responder.start(link.now);
    link.runFor(5s);

    MdnsBrowser browser(serviceType, 2);
    link.attach(browser);
    const MdnsTime start = link.now;
    browser.start(start);
    while (browser.results().empty() && link.now < start + 2s) {
        link.runFor(10ms);
    }
    EXPECT_LE(link.now - start, 300ms);
    ASSERT_EQ(browser.results().size(), 1u);
    EXPECT_TRUE(browser.takeChanged());
    EXPECT_EQ(browser.results()[0].instanceName, "Desk");
    ASSERT_TRUE(browser.results()[0].txt.has_value());
    EXPECT_EQ(browser.results()[0].txt->at("id"), "abc");
    EXPECT_EQ(browser.results()[0].txt->at("v"), "9");
}

TEST(MdnsBrowserTest, QueriesBackOffAndListKnownAnswers) {
    BrowsedPeer peer(3);
    peer.link.runFor(40s);
    // 20–120 ms, then 1, 2, 4, 8, 16 s later: 6 queries within 40 s.
    EXPECT_EQ(queriesSent(peer.link, peer.browserNode), 6u);
    std::size_t answersAfterFirst = 0;
    bool firstQuery = true;
    for (const auto& [sender, message] : peer.link.sent) {
        if (sender == peer.browserNode && !message.isResponse()) {
            if (!firstQuery) {
                EXPECT_EQ(message.answers.size(), 1u);  // the PTR it already holds
            }
            firstQuery = false;
        } else if (sender != peer.browserNode && !firstQuery && message.isResponse()) {
            ++answersAfterFirst;
        }
    }
    // The responder answers the first query (and announces); later ones are suppressed.
    EXPECT_LE(answersAfterFirst, 3u);
}

TEST(MdnsBrowserTest, ALivePeerStaysAcrossManyTtlCyclesAndASilentOneExpires) {
    BrowsedPeer peer(4, service("Desk", 2, 4));
    peer.link.runFor(2s);
    ASSERT_EQ(peer.browser.results().size(), 1u);
    peer.browser.takeChanged();
    for (int i = 0; i < 60; ++i) {
        peer.link.runFor(500ms);
        ASSERT_EQ(peer.browser.results().size(), 1u) << "after " << (i + 1) * 500 << " ms";
    }
    EXPECT_FALSE(peer.browser.takeChanged());
    // The peer vanishes without a goodbye: gone once the PTR's TTL has run out.
    peer.link.detach(peer.responderNode);
    peer.link.runFor(4100ms);
    EXPECT_TRUE(peer.browser.results().empty());
    EXPECT_TRUE(peer.browser.takeChanged());
}

TEST(MdnsBrowserTest, GoodbyeRemovesTheResultAfterTheGraceSecond) {
    BrowsedPeer peer(5);
    peer.link.runFor(3s);
    ASSERT_EQ(peer.browser.results().size(), 1u);
    peer.link.inject(peer.responderNode, peer.responder.stop());
    peer.link.detach(peer.responderNode);
    peer.link.runFor(900ms);
    EXPECT_EQ(peer.browser.results().size(), 1u);
    peer.link.runFor(200ms);
    EXPECT_TRUE(peer.browser.results().empty());
}

TEST(MdnsBrowserTest, AnInstanceWithoutTxtIsAskedForItAndListedMeanwhile) {
    MdnsSimulatedLink link;
    MdnsBrowser browser(serviceType, 6);
    const auto browserNode = link.attach(browser);
    browser.start(link.now);
    MdnsMessage bare;
    bare.flags = MdnsMessage::responseFlags;
    const MdnsName instance = serviceType.prefixed("Bare");
    bare.answers.push_back(MdnsRecord::ptr(serviceType, instance, 4500));
    link.inject(7, encodeMdnsMessage(bare));
    ASSERT_EQ(browser.results().size(), 1u);
    EXPECT_FALSE(browser.results()[0].txt.has_value());
    link.runFor(5s);
    std::size_t detailQueries = 0;
    for (const auto& [sender, message] : link.sent) {
        if (sender == browserNode) {
            for (const auto& q : message.questions) {
                detailQueries += q.type == mdns::typeTxt && q.name == instance;
            }
        }
    }
    EXPECT_EQ(detailQueries, 3u);  // three attempts, then it waits for announcements

    MdnsMessage txt;
    txt.flags = MdnsMessage::responseFlags;
    txt.answers.push_back(MdnsRecord::txt(instance, {}, 4500));
    link.inject(7, encodeMdnsMessage(txt));
    ASSERT_TRUE(browser.results()[0].txt.has_value());
    EXPECT_TRUE(browser.results()[0].txt->empty());
}

TEST(MdnsBrowserTest, RecordsOfOtherServicesAreNotKept) {
    MdnsSimulatedLink link;
    MdnsBrowser browser(serviceType, 6);
    link.attach(browser);
    browser.start(link.now);
    MdnsMessage other;
    other.flags = MdnsMessage::responseFlags;
    const MdnsName otherType = MdnsName::fromText("_other._tcp.local");
    other.answers.push_back(MdnsRecord::ptr(otherType, otherType.prefixed("X"), 4500));
    other.answers.push_back(MdnsRecord::ptr(serviceType, otherType.prefixed("Y"), 4500));
    other.answers.push_back(MdnsRecord::a(MdnsName::fromText("random.local"), {1, 2, 3, 4}, 120));
    link.inject(7, encodeMdnsMessage(other));
    EXPECT_TRUE(browser.results().empty());
    EXPECT_EQ(browser.cache().entries().size(), 1u);  // only the PTR of our type
}

// Queries the browser sent since `from` that ask for the instance's SRV record, and whether
// any of them offered the instance's PTR as a known answer.
std::pair<std::size_t, bool> reconfirmQueries(const MdnsSimulatedLink& link, std::size_t node,
                                              std::size_t from, const MdnsName& instance) {
    std::size_t asked = 0;
    bool offeredPtr = false;
    for (std::size_t i = from; i < link.sent.size(); ++i) {
        const auto& [sender, message] = link.sent[i];
        if (sender != node || message.isResponse()) {
            continue;
        }
        for (const auto& q : message.questions) {
            asked += q.type == mdns::typeSrv && q.name == instance;
        }
        for (const auto& known : message.answers) {
            offeredPtr |= known.type == mdns::typePtr && known.ptrTarget() == instance;
        }
    }
    return {asked, offeredPtr};
}

// A peer that vanished without a goodbye is listed until its PTR's TTL (75 minutes) ends,
// unless a failed contact reconfirms it: then it goes ten seconds later, while a peer that
// still answers stays.
TEST(MdnsBrowserTest, ReconfirmationDropsASilentPeerAndKeepsAnAnsweringOne) {
    const MdnsName instance = serviceType.prefixed("Desk");
    for (bool alive : {false, true}) {
        BrowsedPeer peer(5);
        peer.link.runFor(3s);
        ASSERT_EQ(peer.browser.results().size(), 1u);
        peer.browser.takeChanged();
        if (!alive) {
            peer.link.detach(peer.responderNode);
        }
        const std::size_t before = peer.link.sent.size();
        peer.browser.reconfirm(instance, peer.link.now);
        peer.link.runFor(2s);
        // A second hint while in doubt keeps the first deadline; after an answer it asks anew.
        peer.browser.reconfirm(instance, peer.link.now);
        peer.link.runFor(7900ms);
        EXPECT_EQ(peer.browser.results().size(), 1u) << alive;
        peer.link.runFor(200ms);
        EXPECT_EQ(peer.browser.results().size(), alive ? 1u : 0u) << alive;
        EXPECT_EQ(peer.browser.takeChanged(), !alive) << alive;
        const auto [asked, offeredPtr] =
            reconfirmQueries(peer.link, peer.browserNode, before, instance);
        // At 0, 1 and 3 s; with the peer answering, the second hint asks at 2, 3 (shared with
        // the first) and 5 s.
        EXPECT_EQ(asked, alive ? 5u : 3u) << alive;
        if (!alive) {
            EXPECT_FALSE(offeredPtr) << "a record in doubt offered as a known answer";
        }
        if (alive) {
            peer.link.runFor(60s);
            EXPECT_EQ(peer.browser.results().size(), 1u);
        }
    }
}

// A peer that left the results is asked for again from a second on, however far the back-off
// had grown: back without announcing itself (its traffic flowing again), it is found about
// as long after its return as it had been gone, not at the grown back-off's next query.
TEST(MdnsBrowserTest, APeerThatLeftIsFoundSoonAfterItReturnsUnannounced) {
    BrowsedPeer peer(5);
    peer.link.runFor(2100s);  // the next query is more than half an hour away
    ASSERT_EQ(peer.browser.results().size(), 1u);
    peer.link.detach(peer.responderNode);
    peer.browser.reconfirm(serviceType.prefixed("Desk"), peer.link.now);
    peer.link.runFor(10100ms);
    ASSERT_TRUE(peer.browser.results().empty());
    peer.link.runFor(20s);
    peer.link.reattach(peer.responderNode);
    peer.link.runFor(25s);
    EXPECT_EQ(peer.browser.results().size(), 1u);
}

TEST(MdnsBrowserTest, ReconfirmingAnUnknownInstanceAsksNothing) {
    MdnsSimulatedLink link;
    MdnsBrowser browser(serviceType, 5);
    const auto node = link.attach(browser);
    browser.start(link.now);
    link.runFor(2s);
    const std::size_t before = link.sent.size();
    browser.reconfirm(serviceType.prefixed("Nobody"), link.now);
    link.runFor(500ms);
    EXPECT_EQ(reconfirmQueries(link, node, before, serviceType.prefixed("Nobody")).first, 0u);
}

// The link going down puts what was heard over it in doubt: gone ten seconds later unless
// the link comes back and the peer is heard again in time, in which case nobody is lost.
TEST(MdnsBrowserTest, LinkDownDropsThePeersUnlessTheLinkComesBackInTime) {
    for (auto downFor : {std::chrono::milliseconds(0), std::chrono::milliseconds(3000)}) {
        const bool back = downFor > 0ms;
        BrowsedPeer peer(5);
        peer.link.runFor(3s);
        ASSERT_EQ(peer.browser.results().size(), 1u);
        peer.browser.takeChanged();
        const MdnsTime down = peer.link.now;
        peer.link.detach(peer.responderNode);
        peer.browser.linkDown(down);
        if (back) {
            peer.link.runFor(downFor);
            peer.link.reattach(peer.responderNode);
            peer.responder.restart(peer.link.now);
            peer.browser.restartQueries(peer.link.now);
        }
        peer.link.runUntil(down + 9900ms);
        EXPECT_EQ(peer.browser.results().size(), 1u) << back;
        peer.link.runUntil(down + 10100ms);
        EXPECT_EQ(peer.browser.results().size(), back ? 1u : 0u) << back;
        EXPECT_EQ(peer.browser.takeChanged(), !back) << back;
        peer.link.runFor(30s);
        EXPECT_EQ(peer.browser.results().size(), back ? 1u : 0u) << back;
    }
}

// Queries of other hosts that a cached record should have answered, with no answer seen:
// two of them flush it ten seconds after the first; one, a query that lists it as known,
// or one that wants its answer by unicast, says nothing.
TEST(MdnsBrowserTest, UnansweredQueriesOfOthersFlushARecord) {
    const MdnsName instance = serviceType.prefixed("Desk");
    struct Case {
        const char* what;
        int queries;
        bool listsKnown;
        bool unicast;
        bool probe;
        bool flushed;
    };
    const Case cases[] = {
        {"two unanswered queries", 2, false, false, false, true},
        {"one unanswered query", 1, false, false, false, false},
        {"queries listing it as known", 3, true, false, false, false},
        {"queries wanting a unicast answer", 3, false, true, false, false},
        {"probes for the name", 3, false, false, true, false},
    };
    for (const auto& c : cases) {
        BrowsedPeer peer(5);
        peer.link.runFor(3s);
        ASSERT_EQ(peer.browser.results().size(), 1u) << c.what;
        peer.link.detach(peer.responderNode);
        const MdnsTime first = peer.link.now;
        for (int i = 0; i < c.queries; ++i) {
            MdnsMessage query;
            query.questions.push_back({serviceType, mdns::typePtr, mdns::classIn, c.unicast});
            if (c.listsKnown) {
                query.answers.push_back(MdnsRecord::ptr(serviceType, instance, 4000));
            }
            if (c.probe) {
                query.authorities.push_back(MdnsRecord::ptr(serviceType, instance, 4500));
            }
            peer.link.inject(7, encodeMdnsMessage(query));
            peer.link.runFor(1s);
        }
        peer.link.runUntil(first + 9900ms);
        EXPECT_EQ(peer.browser.results().size(), 1u) << c.what;
        peer.link.runUntil(first + 10100ms);
        EXPECT_EQ(peer.browser.results().size(), c.flushed ? 0u : 1u) << c.what;
    }
}

TEST(MdnsResolverTest, StartsFromWhatTheBrowserHoldsAndWaitsBrieflyForTheOtherFamily) {
    const MdnsName instance = serviceType.prefixed("Desk");
    const MdnsName host = MdnsName::fromText("host-desk.local");
    const auto a = MdnsRecord::a(host, {169, 254, 7, 1}, 120);
    const auto aaaa =
        MdnsRecord::aaaa(host, {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 120);
    enum class Held { nothing, ipv6, both };
    using enum Held;
    struct Case {
        const char* what;
        Held held;
        std::chrono::milliseconds heardAgo;                  // when the browser heard the records
        std::optional<std::chrono::milliseconds> ipv4Later;  // the A arrives then
        bool ipv4;                                           // in the result
        std::size_t queries;
        std::chrono::milliseconds doneAfter;
    };
    const Case cases[] = {
        {"nothing held: the responder is asked", nothing, 0ms, std::nullopt, true, 1, 0ms},
        {"both families held", both, 5s, std::nullopt, true, 0, 0ms},
        {"IPv6 alone, heard long ago", ipv6, 5s, std::nullopt, false, 0, 0ms},
        {"IPv6 just heard, IPv4 follows", ipv6, 0ms, 50ms, true, 1, 50ms},
        {"IPv6 just heard, no IPv4 on the link", ipv6, 0ms, std::nullopt, false, 1, 200ms},
        {"IPv6 heard 150 ms ago", ipv6, 150ms, std::nullopt, false, 1, 50ms},
    };
    for (const auto& c : cases) {
        MdnsSimulatedLink link;
        MdnsResponder responder(service("Desk", 120, 4500), 1);
        MdnsRecordCache browserCache;
        if (c.held == nothing) {
            link.attach(responder);
            responder.start(link.now);
            link.runFor(5s);
        } else {
            const MdnsTime heard = link.now - c.heardAgo;
            browserCache.add(MdnsRecord::srv(instance, MdnsSrv{0, 0, 40001, host}, 120), heard);
            browserCache.add(aaaa, heard);
            if (c.held == both) {
                browserCache.add(a, heard);
            }
        }
        MdnsResolver resolver(instance, 9);
        const auto node = link.attach(resolver);
        const MdnsTime start = link.now;
        resolver.seed(browserCache.entries(), start);
        resolver.start(start);
        MdnsTime done = start;
        for (int i = 0; i < 100 && resolver.nextWake(); ++i) {
            if (c.ipv4Later && link.now == start + *c.ipv4Later) {
                MdnsMessage late;
                late.flags = MdnsMessage::responseFlags;
                late.answers.push_back(a);
                link.inject(7, encodeMdnsMessage(late));
            }
            link.runFor(10ms);
            done = link.now;
        }
        ASSERT_TRUE(resolver.complete(link.now)) << c.what;
        EXPECT_LE(done - start, c.doneAfter + 10ms) << c.what;
        EXPECT_GE(done - start, c.doneAfter) << c.what;
        EXPECT_EQ(queriesSent(link, node), c.queries) << c.what;
        EXPECT_EQ(resolver.result()->ipv4.size(), c.ipv4 ? 1u : 0u) << c.what;
        EXPECT_EQ(resolver.result()->ipv6.size(), 1u) << c.what;
        EXPECT_EQ(resolver.result()->port, 40001) << c.what;
    }
}

TEST(MdnsResolverTest, KeepsAskingWithGrowingIntervalsWhileNobodyAnswers) {
    MdnsSimulatedLink link;
    MdnsResolver resolver(serviceType.prefixed("Nobody"), 9);
    const auto node = link.attach(resolver);
    resolver.start(link.now);
    link.runFor(7500ms);
    EXPECT_EQ(queriesSent(link, node), 4u);  // at 0, 1, 3 and 7 s
    EXPECT_FALSE(resolver.result().has_value());
}

}  // namespace
}  // namespace sorvanta
