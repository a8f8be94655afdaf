#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "protocol/incomplete_status.h"
#include "service/channel_election.h"
#include "service/control_rate_limit.h"
#include "service/discovery_backoff.h"
#include "service/interface_choice.h"
#include "service/peer_directory.h"
#include "service/peer_text.h"
#include "service/run_ending.h"

namespace sorvanta {
namespace {

const Uuid low = *Uuid::parse("11111111-1111-4111-8111-111111111111");
const Uuid mid = *Uuid::parse("55555555-5555-4555-8555-555555555555");
const Uuid high = *Uuid::parse("99999999-9999-4999-8999-999999999999");

PeerDirectory::Entry entry(std::string name, std::string endpoint,
                           std::optional<std::map<std::string, std::string>> txt) {
    return {std::move(name), std::move(endpoint), std::move(txt)};
}

TEST(PeerDirectoryTest, ReadsTxtRecordsLeniently) {
    struct Case {
        std::optional<std::map<std::string, std::string>> txt;
        bool compatible;
        std::optional<Uuid> instance;
        std::optional<std::string> model;
    };
    const std::vector<Case> cases = {
        {std::nullopt, true, std::nullopt, std::nullopt},
        {std::map<std::string, std::string>{}, true, std::nullopt, std::nullopt},
        {{{{"v", "10"}}}, false, std::nullopt, std::nullopt},
        {{{{"v", "9"}, {"id", "not-a-uuid"}}}, true, std::nullopt, std::nullopt},
        {{{{"v", "9"}, {"id", high.text()}, {"m", "Mac14,2"}}}, true, high, "Mac14,2"},
        {{{{"id", high.text()}, {"m", "bad model"}}}, true, high, std::nullopt},
    };
    for (const auto& c : cases) {
        PeerDirectory directory(mid);
        directory.update({entry("Desk\u2028Mac", "a.local", c.txt)});
        ASSERT_EQ(directory.peers().size(), 1u);
        const Peer& peer = directory.peers().front();
        EXPECT_EQ(peer.compatible, c.compatible);
        EXPECT_EQ(peer.instance, c.instance);
        EXPECT_EQ(peer.model, c.model);
        EXPECT_EQ(peer.name, "DeskMac");
        EXPECT_EQ(peer.id, c.instance ? c.instance->text() : std::string("a.local"));
    }
}

TEST(PeerDirectoryTest, OwnAdvertisementDuplicatesAndBound) {
    PeerDirectory directory(mid);
    std::vector<PeerDirectory::Entry> entries = {
        entry("Self", "s", {{{"id", mid.text()}}}),
        entry("B", "b", {{{"id", high.text()}}}),
        entry("A", "a", {{{"id", high.text()}}}),
    };
    for (int i = 0; i < 40; ++i) {
        entries.push_back(entry("n" + std::to_string(i), "z" + std::to_string(100 + i),
                                {{{"id", Uuid::random().text()}}}));
    }
    directory.update(entries);
    EXPECT_EQ(directory.peers().size(), 32u);
    EXPECT_EQ(directory.endpoints().at(high.text()), "a");
    EXPECT_FALSE(directory.endpoints().contains(mid.text()));
    EXPECT_EQ(directory.identities().order().size(), 32u);
}

TEST(PeerDirectoryTest, RemembersIdentitiesAndReportsChanges) {
    PeerDirectory directory(mid);
    auto first = directory.update({entry("B", "b", {{{"id", high.text()}}})});
    EXPECT_TRUE(first.changed);
    auto again = directory.update({entry("B", "b", std::nullopt)});
    EXPECT_EQ(directory.peers().front().instance, high);
    EXPECT_TRUE(directory.remembered().contains(high.text()));
    EXPECT_FALSE(again.changed);
    EXPECT_TRUE(again.vanished.empty());
    auto gone = directory.update({});
    EXPECT_EQ(gone.vanished, std::set<std::string>{high.text()});
    directory.identities().forget(high);
    directory.update({entry("B", "b", std::nullopt)});
    EXPECT_EQ(directory.peers().front().instance, std::nullopt);
}

TEST(PeerDirectoryTest, EvictsTheOldestName) {
    AdvertisedIdentities identities;
    for (int i = 0; i < 33; ++i) {
        identities.record(AdvertisedIdentities::Advertised{Uuid::random(), true, std::nullopt},
                          std::to_string(i));
    }
    identities.record(AdvertisedIdentities::Advertised{high, true, std::nullopt}, "5");
    EXPECT_FALSE(identities.entries().contains("0"));
    EXPECT_EQ(identities.order().front(), "1");
    EXPECT_EQ(identities.entries().at("5").id, high);
}

TEST(PeerDirectoryTest, DialCandidateMatrix) {
    struct Case {
        Uuid local;
        std::vector<PeerDirectory::Entry> entries;
        bool forgetTxt;  // second update without TXT: the identity comes from memory
        bool dials;
    };
    const std::vector<Case> cases = {
        {low, {entry("P", "p", {{{"id", high.text()}}})}, false, true},
        {high, {entry("P", "p", {{{"id", low.text()}}})}, false, false},
        {high, {entry("P", "p", {{{"id", low.text()}}})}, true, true},
        {low, {entry("P", "p", {{{"id", high.text()}, {"v", "8"}}})}, false, false},
        {low, {entry("P", "p", std::nullopt)}, false, false},
        {low,
         {entry("P", "p", {{{"id", high.text()}}}), entry("Q", "q", {{{"id", mid.text()}}})},
         false,
         false},
    };
    for (const auto& c : cases) {
        PeerDirectory directory(c.local);
        directory.update(c.entries);
        if (c.forgetTxt) {
            auto bare = c.entries;
            for (auto& e : bare) {
                e.txt.reset();
            }
            directory.update(bare);
        }
        EXPECT_EQ(directory.dialCandidate().has_value(), c.dials);
    }
}

TEST(PeerTextTest, CleansNamesAndDetails) {
    EXPECT_EQ(cleanComputerName("Desk\x07Mac"), "DeskMac");
    EXPECT_EQ(cleanComputerName("Desk\u2029Mac\u200B"), "DeskMac");
    EXPECT_EQ(cleanComputerName(std::string(40, 'a')), std::string(32, 'a'));
    EXPECT_EQ(cleanComputerName("\x01\x02"), "Mac");
    EXPECT_EQ(cleanComputerName(""), "Mac");
    EXPECT_EQ(cancelDetail("Incomplete. Test stopped."), "Test stopped.");
    EXPECT_EQ(cancelDetail("Incomplete. "), std::nullopt);
    EXPECT_EQ(cancelDetail("Incomplete.x"), "Incomplete.x");
    EXPECT_EQ(cancelDetail(std::string(300, 'a')), std::string(256, 'a'));
    EXPECT_EQ(cancelDetail(std::string(255, 'a') + "\u00e9"), std::string(255, 'a'));
    EXPECT_EQ(cancelDetail("\x01\x02\x03"), std::nullopt);
    EXPECT_EQ(incompleteStatus("Incomplete.Done"), "Incomplete.Done");
    EXPECT_EQ(incompleteStatus("Test stopped."), "Incomplete. Test stopped.");
}

TEST(RateLimitTest, BurstThenRefill) {
    ControlRateLimit limit;
    for (int i = 0; i < 32; ++i) {
        ASSERT_TRUE(limit.charge(5.0));
    }
    EXPECT_FALSE(limit.charge(5.0));
    ControlRateLimit later;
    for (int i = 0; i < 32; ++i) {
        later.charge(5.0);
    }
    for (int i = 0; i < 16; ++i) {
        EXPECT_TRUE(later.charge(6.0)) << i;
    }
    EXPECT_FALSE(later.charge(6.0));
    ControlRateLimit odd;
    odd.charge(3.0);
    EXPECT_FALSE(odd.charge(2.0));
    EXPECT_FALSE(odd.charge(std::numeric_limits<double>::infinity()));
}

TEST(BackoffTest, DoublesToThirtyAndResets) {
    DiscoveryBackoff backoff;
    std::vector<std::uint64_t> waits;
    for (int i = 0; i < 6; ++i) {
        waits.push_back(backoff.take());
    }
    EXPECT_EQ(waits, (std::vector<std::uint64_t>{2, 4, 8, 16, 30, 30}));
    backoff.reset();
    EXPECT_EQ(backoff.take(), 2u);
}

NetworkInterface wired(std::string name, int index) {
    return {std::move(name), index, InterfaceType::wiredEthernet};
}
WiredInterface inventoryEntry(std::string name, int index) {
    WiredInterface entry;
    entry.identity = {std::move(name), index};
    return entry;
}

TEST(InterfaceChoiceTest, UsableListNeedsInventoryAndPath) {
    const std::vector<WiredInterface> inventory = {inventoryEntry("eth1", 3),
                                                   inventoryEntry("eth0", 2)};
    auto usable = usableInterfaces({wired("eth1", 3)},
                                   {wired("eth0", 2),
                                    wired("eth1", 3),
                                    wired("eth9", 9),
                                    {"wlan0", 4, InterfaceType::wifi},
                                    wired("eth0", 7)},
                                   inventory);
    EXPECT_EQ(usable, (std::vector<NetworkInterface>{wired("eth0", 2), wired("eth1", 3)}));
    EXPECT_EQ(usableInventory(inventory, {wired("eth0", 2)}).size(), 1u);
}

TEST(InterfaceChoiceTest, DecisionTable) {
    using Kind = InterfaceDecision::Kind;
    const auto a = wired("eth0", 2);
    const auto b = wired("eth1", 3);
    const InterfaceIdentity preferB{"eth1", 3};
    struct Case {
        bool inventoryEmpty;
        std::optional<NetworkInterface> selected;
        std::vector<NetworkInterface> usable;
        std::optional<InterfaceIdentity> preferred;
        Kind kind;
        bool lost;
        std::optional<NetworkInterface> pinned;
    };
    const std::vector<Case> cases = {
        {true, a, {a}, std::nullopt, Kind::noAdapter, false, std::nullopt},
        {false, a, {a, b}, std::nullopt, Kind::keepSelected, false, std::nullopt},
        {false, a, {b}, preferB, Kind::startOn, true, b},
        {false, std::nullopt, {a, b}, preferB, Kind::startOn, false, b},
        {false, std::nullopt, {a}, preferB, Kind::preferredMissing, false, std::nullopt},
        {false, std::nullopt, {a}, std::nullopt, Kind::startOn, false, a},
        {false, std::nullopt, {}, std::nullopt, Kind::waiting, false, std::nullopt},
        {false, std::nullopt, {a, b}, std::nullopt, Kind::chooseAdapter, false, std::nullopt},
        {false, wired("eth0", 8), {a}, std::nullopt, Kind::startOn, true, a},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        auto decision = decideInterface(c.inventoryEmpty, c.selected, c.usable, c.preferred);
        EXPECT_EQ(decision.kind, c.kind) << i;
        EXPECT_EQ(decision.selectedLost, c.lost) << i;
        EXPECT_EQ(decision.interface, c.pinned) << i;
    }
    EXPECT_EQ(bootstrapCandidate({a, b}, std::nullopt), std::nullopt);
    EXPECT_EQ(bootstrapCandidate({a, b}, preferB), b);
    EXPECT_EQ(bootstrapCandidate({a}, preferB), std::nullopt);
}

// A replugged adapter comes back under its name with a new index: the choice follows it
// (and is stored with the new index) instead of waiting for an index that never returns.
TEST(InterfaceChoiceTest, RememberedNameFollowsANewIndex) {
    using Kind = InterfaceDecision::Kind;
    const InterfaceIdentity preferred{"eth0", 2};
    const auto replugged = wired("eth0", 7);
    const auto other = wired("eth1", 3);
    struct Case {
        std::optional<NetworkInterface> selected;
        std::vector<NetworkInterface> usable;
        Kind kind;
        std::optional<NetworkInterface> pinned;
        bool remember;
    };
    const std::vector<Case> cases = {
        {wired("eth0", 2), {replugged}, Kind::startOn, replugged, true},
        {std::nullopt, {other, replugged}, Kind::startOn, replugged, true},
        {std::nullopt, {wired("eth0", 2), other}, Kind::startOn, wired("eth0", 2), false},
        {std::nullopt, {other}, Kind::preferredMissing, std::nullopt, false},
        {std::nullopt, {wired("eth00", 2)}, Kind::preferredMissing, std::nullopt, false},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        auto decision = decideInterface(false, c.selected, c.usable, preferred);
        EXPECT_EQ(decision.kind, c.kind) << i;
        EXPECT_EQ(decision.interface, c.pinned) << i;
        EXPECT_EQ(decision.remember, c.remember) << i;
    }
    EXPECT_EQ(bootstrapCandidate({other, replugged}, preferred), replugged);
    EXPECT_EQ(bootstrapCandidate({other}, preferred), std::nullopt);
}

TEST(ElectionTest, Matrix) {
    const Uuid self = Uuid::random();
    const Uuid other = Uuid::random();
    const ElectionCandidate accepted{self, false, std::nullopt, ConnectionState::connecting};
    const ElectionCandidate ownDial{other, true, high, ConnectionState::connecting};
    ElectionCandidate ownDialReady = ownDial;
    ownDialReady.state = ConnectionState::ready;
    ElectionCandidate dialled = accepted;
    dialled.initiator = true;
    struct Case {
        ElectionCandidate channel;
        Uuid local;
        std::optional<Uuid> remote;
        std::optional<Uuid> active;
        std::vector<ElectionCandidate> others;
        ElectionOutcome outcome;
    };
    const std::vector<Case> cases = {
        {accepted, low, std::nullopt, std::nullopt, {}, ElectionOutcome::noIdentity},
        {accepted, low, high, other, {}, ElectionOutcome::anotherActive},
        {accepted, low, high, self, {}, ElectionOutcome::win},
        {accepted, low, high, std::nullopt, {ownDial}, ElectionOutcome::yieldToOwnDial},
        {accepted, low, high, std::nullopt, {ownDialReady}, ElectionOutcome::win},
        {accepted, high, low, std::nullopt, {ownDial}, ElectionOutcome::win},
        {dialled, low, high, std::nullopt, {ownDial}, ElectionOutcome::win},
        {accepted, low, high, std::nullopt, {}, ElectionOutcome::win},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        EXPECT_EQ(electChannel(c.channel, c.local, c.remote, c.active, c.others), c.outcome) << i;
    }
}

TEST(RunEndingTest, EngineEndingTable) {
    using Phase = SpeedSnapshot::Phase;
    struct Case {
        Phase phase;
        std::optional<RunEndCause> end;
        bool remote, required, bulkStarted, remoteIssue;
        std::string status;
        bool send;
        RunEndCause cause;
        std::string shown;
    };
    const std::vector<Case> cases = {
        {Phase::complete, std::nullopt, false, true, true, false, "Done.", false,
         RunEndCause::stopped, "Done."},
        {Phase::failed, RunEndCause::tester, true, true, true, false, "X.", false,
         RunEndCause::tester, "Incomplete. X."},
        {Phase::failed, RunEndCause::connection, false, true, false, false, "Lost.", false,
         RunEndCause::connection, "Incomplete. Lost."},
        {Phase::failed, RunEndCause::connection, false, true, false, true, "Lost.", true,
         RunEndCause::connection, "Incomplete. Lost."},
        {Phase::cancelled, std::nullopt, false, true, true, false, "Incomplete. Stop.", true,
         RunEndCause::stopped, "Incomplete. Stop."},
        {Phase::failed, std::nullopt, false, true, true, false, "Bad.", true, RunEndCause::tester,
         "Incomplete. Bad."},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        SpeedSnapshot state;
        state.phase = c.phase;
        state.end = c.end;
        state.endedRemotely = c.remote;
        state.preparation.required = c.required;
        state.preparation.bulkStarted = c.bulkStarted;
        state.preparation.remoteIssue = c.remoteIssue;
        state.status = c.status;
        auto ending = engineEnding(state);
        EXPECT_EQ(ending.sendCancel, c.send) << i;
        EXPECT_EQ(ending.cause, c.cause) << i;
        EXPECT_EQ(ending.status, c.shown) << i;
    }
    auto stopped = cancelMessage(low, high, QuickProfile::quick, 2, RunEndCause::stopped, "x");
    EXPECT_EQ(stopped.endDetail, std::nullopt);
    EXPECT_NO_THROW(stopped.validate(10));
}

TEST(RunEndingTest, RemoteCancelReasons) {
    EXPECT_EQ(
        remoteEnding(RunEndCause::tester, "Studio", "Bulk callback capacity exceeded.").reason,
        "Studio couldn\u2019t continue the test: Bulk callback capacity exceeded.");
    EXPECT_EQ(remoteEnding(RunEndCause::connection, "Studio", std::nullopt).reason,
              "Studio couldn\u2019t continue the test.");
    auto stopped = remoteEnding(std::nullopt, "Studio", "ignored");
    EXPECT_EQ(stopped.reason, "Stopped on Studio.");
    EXPECT_FALSE(stopped.failed);
}

}  // namespace
}  // namespace sorvanta
