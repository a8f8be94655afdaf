#include "platform/dnssd/mdns_responder.h"

#include <gtest/gtest.h>

#include "mdns_simulated_link.h"
#include "platform/dnssd/mdns_browser.h"
#include "platform/dnssd/mdns_resolver.h"

namespace sorvanta {
namespace {

using namespace std::chrono_literals;
using testing::MdnsSimulatedLink;

const MdnsName serviceType = MdnsName::fromText("_sorvanta._tcp.local");

MdnsServiceDescription service(const std::string& name, const std::string& host,
                               std::uint8_t lastByte) {
    MdnsServiceDescription d;
    d.instanceName = name;
    d.serviceType = serviceType;
    d.port = static_cast<std::uint16_t>(40000 + lastByte);
    d.txt = {"v=9", "id=" + host};
    d.hostLabel = host;
    d.ipv4 = {{169, 254, 7, lastByte}};
    d.ipv6 = {{0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, lastByte}};
    return d;
}

std::vector<std::uint8_t> ptrQuery(const std::vector<MdnsRecord>& known = {}) {
    MdnsMessage query;
    query.questions.push_back({serviceType, mdns::typePtr, mdns::classIn, false});
    query.answers = known;
    return encodeMdnsMessage(query);
}

TEST(MdnsResponderTest, ProbesThreeTimesThenAnnouncesTwiceWithUniqueRecordsFlagged) {
    MdnsSimulatedLink link;
    MdnsResponder responder(service("Desk", "host-a", 1), 1);
    link.attach(responder);
    const MdnsTime start = link.now;
    responder.start(link.now);
    link.runFor(5s);
    ASSERT_EQ(link.sent.size(), 5u);
    for (int i = 0; i < 3; ++i) {
        const auto& probe = link.sent[i].second;
        EXPECT_FALSE(probe.isResponse());
        EXPECT_EQ(probe.questions.size(), 2u);
        EXPECT_EQ(probe.authorities.size(), 4u);  // SRV, TXT, A, AAAA
    }
    for (int i = 3; i < 5; ++i) {
        const auto& announcement = link.sent[i].second;
        EXPECT_TRUE(announcement.isResponse());
        ASSERT_EQ(announcement.answers.size(), 6u);  // and the two PTRs
        for (const auto& record : announcement.answers) {
            EXPECT_EQ(record.cacheFlush, record.type != mdns::typePtr);
        }
    }
    EXPECT_EQ(responder.state(), MdnsResponder::State::announced);
    const auto events = responder.takeEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, MdnsResponder::Event::Kind::established);
    EXPECT_EQ(events[0].name, "Desk");
    (void)start;
}

TEST(MdnsResponderTest, QuestionsAreAnsweredToTheGroupOrToTheAskerAsTheyAsk) {
    const MdnsName instance = serviceType.prefixed("Desk");
    const MdnsName enumeration = MdnsName::fromText("_services._dns-sd._udp.local");
    const asio::ip::udp::endpoint member(asio::ip::make_address("169.254.9.9"), 5353);
    const asio::ip::udp::endpoint oneShot(asio::ip::make_address("fe80::9"), 40000);
    enum class Reply { none, group, asker };
    struct Case {
        const char* what;
        MdnsName name;
        std::uint16_t type;
        bool unicastBit;
        asio::ip::udp::endpoint from;
        std::chrono::milliseconds afterAnnouncing;
        std::uint32_t knownTtl;  // the asker holds our PTR with this TTL (0: not)
        Reply reply;
        std::size_t additionals;  // records that go along
    };
    using enum Reply;
    const std::vector<Case> cases = {
        {"QM within a second", instance, mdns::typeSrv, false, member, 300ms, 0, none, 0},
        {"QM after a second", serviceType, mdns::typePtr, false, member, 2s, 0, group, 4},
        {"asker knows it", serviceType, mdns::typePtr, false, member, 2s, 3000, none, 0},
        {"asker's copy half gone", serviceType, mdns::typePtr, false, member, 2s, 1000, group, 4},
        {"QU within a second", instance, mdns::typeSrv, true, member, 300ms, 0, asker, 2},
        {"QU within a quarter TTL", serviceType, mdns::typePtr, true, member, 60s, 0, asker, 4},
        {"QU after a quarter TTL", instance, mdns::typeSrv, true, member, 31s, 0, group, 2},
        {"one-shot query", serviceType, mdns::typePtr, false, oneShot, 300ms, 0, asker, 4},
        {"type enumeration", enumeration, mdns::typePtr, false, member, 2s, 0, group, 0},
    };
    for (const auto& c : cases) {
        MdnsSimulatedLink link;
        MdnsResponder responder(service("Desk", "host-a", 1), 21);
        link.attach(responder);
        responder.start(link.now);
        for (int i = 0; i < 500 && responder.state() != MdnsResponder::State::announced; ++i) {
            link.runFor(10ms);  // until the second announcement
        }
        link.runFor(c.afterAnnouncing);
        link.sent.clear();
        MdnsMessage query;
        query.id = 0x1234;
        query.questions.push_back({c.name, c.type, mdns::classIn, c.unicastBit});
        if (c.knownTtl > 0) {
            query.answers.push_back(responder.records()[0]);
            query.answers.back().ttl = c.knownTtl;
        }
        responder.receive(query, link.now, c.from);
        link.runFor(200ms);
        const auto unicasts = responder.takeUnicasts();
        ASSERT_EQ(link.sent.size(), c.reply == group ? 1u : 0u) << c.what;
        ASSERT_EQ(unicasts.size(), c.reply == asker ? 1u : 0u) << c.what;
        if (c.reply == none) {
            continue;
        }
        const MdnsMessage answer =
            c.reply == asker ? *parseMdnsMessage(unicasts[0].packet) : link.sent[0].second;
        EXPECT_TRUE(c.reply == group || unicasts[0].destination == c.from) << c.what;
        ASSERT_EQ(answer.answers.size(), 1u) << c.what;
        EXPECT_TRUE(answer.answers[0].name == c.name && answer.answers[0].type == c.type);
        EXPECT_EQ(answer.additionals.size(), c.additionals) << c.what;
        // A one-shot asker hears its ID and question back, short TTLs and no cache flush.
        const bool oneShotReply = c.from.port() != 5353;
        EXPECT_EQ(answer.id, oneShotReply ? 0x1234 : 0) << c.what;
        EXPECT_EQ(answer.questions.size(), oneShotReply ? 1u : 0u) << c.what;
        for (const auto* section : {&answer.answers, &answer.additionals}) {
            for (const auto& record : *section) {
                EXPECT_EQ(record.ttl <= 10 && !record.cacheFlush, oneShotReply) << c.what;
            }
        }
    }
    EXPECT_EQ(MdnsResponder(service("Desk", "host-a", 1), 1).records().back().ptrTarget(),
              serviceType);  // what the type enumeration answers
}

TEST(MdnsResponderTest, GoodbyeRepeatsEveryRecordWithTtlZero) {
    MdnsResponder responder(service("Desk", "host-a", 1), 3);
    EXPECT_TRUE(responder.stop().empty());  // nothing announced yet, nothing to retract

    MdnsSimulatedLink link;
    MdnsResponder announced(service("Desk", "host-a", 1), 3);
    link.attach(announced);
    announced.start(link.now);
    link.runFor(3s);
    auto goodbye = parseMdnsMessage(announced.stop());
    ASSERT_TRUE(goodbye.has_value());
    EXPECT_EQ(goodbye->answers.size(), 6u);
    for (const auto& record : goodbye->answers) {
        EXPECT_EQ(record.ttl, 0u);
    }
    EXPECT_FALSE(announced.nextWake().has_value());
}

TEST(MdnsResponderTest, TwoHostsStartingWithTheSameNameBothEndUpAdvertised) {
    for (std::uint32_t seed = 1; seed <= 20; ++seed) {
        MdnsSimulatedLink link;
        MdnsResponder a(service("Studio", "host-a", 1), seed);
        MdnsResponder b(service("Studio", "host-b", 2), seed * 7919);
        link.attach(a);
        link.attach(b);
        a.start(link.now);
        b.start(link.now);
        link.runFor(10s);
        ASSERT_EQ(a.state(), MdnsResponder::State::announced) << seed;
        ASSERT_EQ(b.state(), MdnsResponder::State::announced) << seed;
        EXPECT_NE(a.instanceName(), b.instanceName()) << seed;
        EXPECT_TRUE(a.instanceName() == "Studio (2)" || b.instanceName() == "Studio (2)") << seed;
    }
}

TEST(MdnsResponderTest, LateComerWithATakenNameRenamesAndReportsIt) {
    MdnsSimulatedLink link;
    MdnsResponder a(service("Studio", "host-a", 1), 5);
    MdnsResponder b(service("Studio", "host-b", 2), 6);
    link.attach(a);
    a.start(link.now);
    link.runFor(5s);
    link.attach(b);
    b.start(link.now);
    link.runFor(5s);
    EXPECT_EQ(a.instanceName(), "Studio");
    EXPECT_EQ(b.instanceName(), "Studio (2)");
    const auto events = b.takeEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, MdnsResponder::Event::Kind::renamed);
    EXPECT_EQ(events[0].name, "Studio (2)");
    EXPECT_EQ(events[1].kind, MdnsResponder::Event::Kind::established);
}

TEST(MdnsResponderTest, TwoAnnouncedHostsThatMeetLaterSettleOnDistinctNames) {
    MdnsSimulatedLink apart;
    MdnsSimulatedLink joined;
    MdnsResponder a(service("Studio", "host-a", 1), 8);
    MdnsResponder b(service("Studio", "host-b", 2), 9);
    apart.attach(a);
    a.start(apart.now);
    apart.runFor(5s);
    joined.now = apart.now;
    b.start(joined.now);
    const auto bOnly = joined.attach(b);
    joined.runFor(5s);
    joined.detach(bOnly);
    // The cable is plugged in: both now hear each other; a browser's query makes them talk.
    MdnsSimulatedLink cable;
    cable.now = joined.now;
    cable.attach(a);
    cable.attach(b);
    cable.inject(99, ptrQuery());
    cable.runFor(10s);
    EXPECT_NE(a.instanceName(), b.instanceName());
    EXPECT_EQ(a.state(), MdnsResponder::State::announced);
    EXPECT_EQ(b.state(), MdnsResponder::State::announced);
}

// A responder that has sent its first probe; returns when it did.
MdnsTime firstProbeSent(MdnsResponder& responder, MdnsTime start) {
    responder.start(start);
    const MdnsTime at = *responder.nextWake();
    responder.advance(at);
    EXPECT_EQ(responder.takePackets().size(), 1u);
    return at;
}

TEST(MdnsResponderTest, SimultaneousProbesAreSettledByComparingTheRecords) {
    const auto desk = service("Desk", "host-a", 1);
    const MdnsName instance = serviceType.prefixed("Desk");
    const MdnsName host = MdnsName::fromText("host-a.local");
    const auto ourSrv = MdnsRecord::srv(instance, MdnsSrv{0, 0, 40001, host}, 120);
    const auto ourTxt = MdnsRecord::txt(instance, desk.txt, 4500);
    const auto ourAaaa = MdnsRecord::aaaa(host, desk.ipv6[0], 120);
    auto srvPort = [&](std::uint16_t port) {
        return MdnsRecord::srv(instance, MdnsSrv{0, 0, port, host}, 120);
    };
    MdnsRecord type99{instance, 99, mdns::classIn, false, 120, {0}};
    struct Case {
        const char* what;
        std::vector<MdnsRecord> theirs;
        bool weDefer;  // their data is lexicographically later
    };
    const std::vector<Case> cases = {
        {"our own probe heard back", {ourSrv, ourTxt}, false},
        {"a later SRV port", {srvPort(40002), ourTxt}, true},
        {"an earlier SRV port", {srvPort(40000), ourTxt}, false},
        {"a later TXT, compared before the SRV",
         {srvPort(1), MdnsRecord::txt(instance, {"v=9", "id=host-b"}, 4500)},
         true},
        {"their list runs out first", {ourTxt}, false},
        {"ours runs out first", {ourSrv, ourTxt, type99}, true},
        {"a later type", {type99}, true},
        {"a later host address", {MdnsRecord::a(host, {169, 254, 7, 2}, 120), ourAaaa}, true},
        {"an earlier host address", {MdnsRecord::a(host, {169, 254, 7, 0}, 120), ourAaaa}, false},
    };
    for (const auto& c : cases) {
        MdnsResponder responder(desk, 11);
        const MdnsTime probed = firstProbeSent(responder, MdnsTime{} + 1h);
        MdnsMessage probe;
        probe.questions.push_back({instance, mdns::typeAny, mdns::classIn, false});
        probe.authorities = c.theirs;
        const MdnsTime heard = probed + 10ms;
        responder.receive(probe, heard);
        EXPECT_EQ(*responder.nextWake(), c.weDefer ? heard + 1s : probed + 250ms) << c.what;
        // Either way the names are kept and, after the quiet second, claimed.
        MdnsSimulatedLink link;
        link.now = heard;
        link.attach(responder);
        link.runFor(3s);
        EXPECT_EQ(responder.state(), MdnsResponder::State::announced) << c.what;
        EXPECT_EQ(responder.instanceName(), "Desk") << c.what;
    }
}

TEST(MdnsResponderTest, FifteenConflictsWithinTenSecondsSlowProbingToOneAttemptInFive) {
    struct Case {
        int conflicts;
        std::chrono::milliseconds spacing;
        bool slowed;
    };
    const Case cases[] = {
        {14, 100ms, false}, {15, 100ms, true},
        {16, 100ms, true},  {15, 700ms, true},  // the 15 span 9.8 s
        {15, 750ms, false},                     // the 15 span 10.5 s
    };
    for (const auto& c : cases) {
        MdnsResponder responder(service("Desk", "host-a", 1), 12);
        MdnsTime now = firstProbeSent(responder, MdnsTime{} + 1h);
        for (int i = 0; i < c.conflicts; ++i) {
            now += c.spacing;
            MdnsMessage answer;
            answer.flags = MdnsMessage::responseFlags;
            answer.answers.push_back(
                MdnsRecord::srv(responder.instanceFullName(),
                                MdnsSrv{0, 0, 9, MdnsName::fromText("x.local")}, 120));
            responder.receive(answer, now);
        }
        EXPECT_EQ(responder.instanceName(), "Desk (" + std::to_string(c.conflicts + 1) + ")");
        EXPECT_EQ(*responder.nextWake(), c.slowed ? now + 5s : now)
            << c.conflicts << " conflicts " << c.spacing.count() << " ms apart";
    }
}

TEST(MdnsResponderTest, NewAddressesAreAnnouncedAndReplaceTheOldInPeersCaches) {
    MdnsSimulatedLink link;
    MdnsResponder responder(service("Desk", "host-a", 1), 4);
    MdnsBrowser browser(serviceType, 5);
    link.attach(responder);
    link.attach(browser);
    responder.start(link.now);
    browser.start(link.now);
    link.runFor(5s);
    const MdnsName host = responder.hostFullName();
    ASSERT_EQ(browser.cache().find(host, mdns::typeA).size(), 1u);
    responder.updateAddresses({{169, 254, 9, 9}}, {}, link.now);
    link.runFor(5s);
    EXPECT_EQ(responder.state(), MdnsResponder::State::announced);
    const auto addresses = browser.cache().find(host, mdns::typeA);
    ASSERT_EQ(addresses.size(), 1u);
    EXPECT_EQ(addresses[0]->record.aAddress()->at(2), 9);
    EXPECT_TRUE(browser.cache().find(host, mdns::typeAaaa).empty());
    EXPECT_EQ(browser.results().size(), 1u);
}

TEST(MdnsResponderTest, NextNameCountsOnAndStaysWithinOneLabel) {
    EXPECT_EQ(MdnsResponder::nextName("Mac"), "Mac (2)");
    EXPECT_EQ(MdnsResponder::nextName("Mac (2)"), "Mac (3)");
    EXPECT_EQ(MdnsResponder::nextName("Mac (9)"), "Mac (10)");
    EXPECT_EQ(MdnsResponder::nextName("Mac (1)"), "Mac (1) (2)");
    EXPECT_EQ(MdnsResponder::nextName("Mac (x)"), "Mac (x) (2)");
    const std::string longName = std::string(60, 'a') + "\xC3\xA9";  // 62 bytes, ends in é
    const std::string renamed = MdnsResponder::nextName(longName);
    EXPECT_LE(renamed.size(), 63u);
    EXPECT_EQ(renamed, std::string(59, 'a') + " (2)");
    EXPECT_EQ(MdnsResponder::fitLabel(std::string(62, 'a') + "\xC3\xA9"), std::string(62, 'a'));
    EXPECT_EQ(MdnsResponder::fitLabel("short"), "short");
    const std::string accented = std::string(57, 'a') + "\xC3\xA9" + "bbbb";
    EXPECT_EQ(MdnsResponder::nextName(accented), std::string(57, 'a') + "\xC3\xA9" + " (2)");
}

}  // namespace
}  // namespace sorvanta
