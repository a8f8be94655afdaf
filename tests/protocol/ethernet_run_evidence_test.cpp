#include "protocol/ethernet_run_evidence.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include "protocol/protocol_failure.h"
#include "protocol/record_coding.h"

namespace sorvanta {
namespace {

constexpr std::uint64_t gigabit = 1'000'000'000;
constexpr auto rx = &EthernetCounterSnapshot::rxErrors;
constexpr auto tx = &EthernetCounterSnapshot::txErrors;
constexpr auto drops = &EthernetCounterSnapshot::inputDrops;

EthernetCounterSnapshot reading(double offset, std::uint32_t errors = 0) {
    EthernetCounterSnapshot snapshot;
    snapshot.offset = offset;
    snapshot.registryID = 4242;
    snapshot.administrativeChange = "3:2";
    snapshot.rxErrors = errors;
    snapshot.txErrors = errors;
    snapshot.inputDrops = errors;
    return snapshot;
}

struct Ids {
    Uuid run = Uuid::random();
    Uuid session = Uuid::random();
    Uuid participant = Uuid::random();
};

EthernetRunEvidence evidence(const Ids& ids) {
    EthernetRunEvidence e;
    e.run = ids.run;
    e.session = ids.session;
    e.participant = ids.participant;
    e.interface = "en0";
    e.interfaceIndex = 4;
    e.before = reading(0.5);
    e.after = reading(40.0);
    e.links = {{0.5, true, gigabit, true}, {20.0, true, gigabit, true}};
    return e;
}

// ---------------------------------------------------------------- link series

TEST(EthernetRunEvidenceTest, SamplingGapIsNotedButTheSampleKept) {
    EthernetRunEvidence e;
    e.recordLink(0, true, gigabit, true);
    e.recordLink(0.25, true, gigabit, true);
    EXPECT_EQ(e.coverageReason, std::nullopt);
    e.recordLink(2.75, true, gigabit, true);  // exactly 2.5 s later
    EXPECT_EQ(e.coverageReason, std::nullopt);
    e.recordLink(5.26, true, gigabit, true);
    EXPECT_EQ(e.links.size(), 4u);
    EXPECT_EQ(e.coverageReason, "Link sampling gap; transitions may have been missed.");
}

TEST(EthernetRunEvidenceTest, ChangesAreCappedWhileEqualSamplesFillTheSeries) {
    EthernetRunEvidence e;
    double t = 0;
    for (int i = 0; i < 40; ++i) {
        const bool up = i % 2 == 0;
        e.recordLink(t += 0.25, up, up ? std::optional<std::uint64_t>(gigabit) : std::nullopt,
                     std::nullopt);
    }
    // The first sample and 16 changes; after that the "down" samples are dropped as
    // changes while the "up" ones equal the last kept sample and are appended.
    EXPECT_EQ(e.links.size(), 17u + 11u);
    EXPECT_EQ(e.linkChanges().size(), 16u);
    for (std::size_t i = 16; i < e.links.size(); ++i) {
        EXPECT_EQ(e.links[i].active, true);
    }
    EXPECT_EQ(e.coverageReason, "Link change event capacity exceeded.");
    const EthernetLinkSample last = e.links.back();
    // A sample equal to the last kept one is no change and is still appended …
    while (e.links.size() < 128) {
        e.recordLink(t += 0.25, last.active, last.rate, !last.fullDuplex.value_or(false));
    }
    EXPECT_EQ(e.linkChanges().size(), 16u);
    // … until the series is full.
    e.coverageReason.reset();
    e.recordLink(t += 0.25, last.active, last.rate, std::nullopt);
    EXPECT_EQ(e.links.size(), 128u);
    EXPECT_EQ(e.coverageReason, "Link sample capacity exceeded.");
}

TEST(EthernetRunEvidenceTest, DuplexAloneIsNoChange) {
    EthernetRunEvidence e;
    e.recordLink(0, true, gigabit, true);
    e.recordLink(1, true, gigabit, false);
    EXPECT_EQ(e.links.size(), 2u);
    EXPECT_TRUE(e.linkChanges().empty());
    EXPECT_FALSE(e.linkChanged());
}

TEST(EthernetRunEvidenceTest, ChangesAndChangedReadAbsentValuesDifferently) {
    EthernetRunEvidence e;
    e.links = {{0, true, gigabit, {}}, {1, true, {}, {}}, {2, true, gigabit, {}}};
    EXPECT_EQ(e.linkChanges(), (std::vector<EthernetLinkSample>{e.links[1], e.links[2]}));
    EXPECT_FALSE(e.linkChanged());

    e.links = {{0, true, {}, {}}, {1, false, {}, {}}, {2, true, {}, {}}};
    EXPECT_TRUE(e.linkChanged());
    e.links = {
        {0, {}, {}, {}}, {1, true, gigabit, {}}, {2, {}, {}, {}}, {3, true, 10 * gigabit, {}}};
    EXPECT_TRUE(e.linkChanged());  // rates differ, states present agree
    e.links = {{0, true, gigabit, {}}};
    EXPECT_FALSE(e.linkChanged());
    e.links.clear();
    EXPECT_FALSE(e.linkChanged());
    EXPECT_TRUE(e.linkChanges().empty());
}

// ---------------------------------------------------------------- counter interval

TEST(EthernetRunEvidenceTest, CounterIntervalProblemsInOrder) {
    const Ids ids;
    auto e = evidence(ids);
    EXPECT_EQ(e.counterIntervalProblem(), std::nullopt);

    auto noAfter = e;
    noAfter.after.reset();
    noAfter.before.reason = "before";
    EXPECT_EQ(noAfter.counterIntervalProblem(), "Postflight counters unavailable.");

    auto reasons = e;
    reasons.before.reason = "first";
    reasons.after->reason = "second";
    EXPECT_EQ(reasons.counterIntervalProblem(), "first");
    reasons.before.reason.reset();
    reasons.after->registryID.reset();
    EXPECT_EQ(reasons.counterIntervalProblem(), "second");

    const std::string identity = "Interface identity or administrative state changed/unavailable.";
    auto state = e;
    state.after->administrativeChange = "100:6";
    state.before.administrativeChange = "100:5";
    state.after->rxErrors.reset();  // a later rule is not reached
    EXPECT_EQ(state.counterIntervalProblem(), identity);
    for (const auto& change : std::vector<std::function<void(EthernetRunEvidence&)>>{
             [](auto& x) { x.before.registryID.reset(); },
             [](auto& x) { x.after->registryID.reset(); },
             [](auto& x) { x.after->registryID = 4243; },
             [](auto& x) { x.before.administrativeChange.reset(); },
             [](auto& x) {
                 x.before.administrativeChange.reset();
                 x.after->administrativeChange.reset();
             },
         }) {
        auto broken = e;
        change(broken);
        EXPECT_EQ(broken.counterIntervalProblem(), identity);
    }

    // Counters are checked one by one: a decrease of rxErrors comes before a missing
    // txErrors, a missing rxErrors before a decrease of inputDrops.
    auto counters = e;
    counters.before.rxErrors = 10;
    counters.after->rxErrors = 7;
    counters.after->txErrors.reset();
    EXPECT_EQ(counters.counterIntervalProblem(),
              "Counter decreased; reset or rollover uncertain for this interval.");
    counters = e;
    counters.before.rxErrors.reset();
    counters.before.inputDrops = 5;
    EXPECT_EQ(counters.counterIntervalProblem(), "A generic counter is unavailable.");

    auto interval = e;
    interval.after->offset = interval.before.offset;
    EXPECT_EQ(interval.counterIntervalProblem(), "Invalid counter interval.");
    interval.after->offset = std::nan("");
    EXPECT_EQ(interval.counterIntervalProblem(), "Invalid counter interval.");
    interval.after->offset = 0.25;
    EXPECT_EQ(interval.counterIntervalProblem(), "Invalid counter interval.");
}

TEST(EthernetRunEvidenceTest, Deltas) {
    const Ids ids;
    auto e = evidence(ids);
    e.before.rxErrors = 7;
    e.after->rxErrors = 10;
    e.before.inputDrops = std::numeric_limits<std::uint32_t>::max() - 5;
    e.after->inputDrops = std::numeric_limits<std::uint32_t>::max();
    EXPECT_EQ(e.delta(rx), 3u);
    EXPECT_EQ(e.delta(tx), 0u);
    EXPECT_EQ(e.delta(drops), 5u);

    e.before.rxErrors = 10;
    e.after->rxErrors = 7;
    EXPECT_EQ(e.delta(rx), std::nullopt);
    EXPECT_EQ(e.delta(tx), std::nullopt);  // an unusable interval gives no delta at all
    EXPECT_EQ(e.delta(drops), std::nullopt);

    e.after.reset();
    EXPECT_EQ(e.delta(tx), std::nullopt);
}

// ---------------------------------------------------------------- validation

void expectMalformed(const EthernetRunEvidence& e, const Ids& ids, const char* what) {
    try {
        e.validate(ids.run, ids.session, ids.participant);
        ADD_FAILURE() << "accepted: " << what;
    } catch (const ProtocolFailure& failure) {
        EXPECT_EQ(failure, ProtocolFailure::malformed) << what;
    }
}

using Change = std::function<void(EthernetRunEvidence&)>;

void expectEach(const Ids& ids, bool passes,
                const std::vector<std::pair<const char*, Change>>& cases) {
    for (const auto& [what, change] : cases) {
        auto e = evidence(ids);
        change(e);
        if (passes) {
            EXPECT_NO_THROW(e.validate(ids.run, ids.session, ids.participant)) << what;
        } else {
            expectMalformed(e, ids, what);
        }
    }
}

TEST(EthernetRunEvidenceTest, ValidateAcceptsWhatIsJustInside) {
    const Ids ids;
    expectEach(
        ids, true,
        {
            {"as built", [](auto&) {}},
            {"64-byte name", [](auto& e) { e.interface = std::string(62, 'a') + "._"; }},
            {"name of every allowed kind", [](auto& e) { e.interface = "AZaz09.-_"; }},
            {"reading at 125", [](auto& e) { e.after->offset = 125; }},
            {"reading at -0",
             [](auto& e) {
                 e.before.offset = -0.0;
                 e.links.front().offset = -0.0;
             }},
            {"reason without counters",
             [](auto& e) {
                 e.before = EthernetCounterSnapshot{};
                 e.before.reason = std::string(256, 'r');
             }},
            {"texts at their bounds",
             [](auto& e) {
                 e.coverageReason = std::string(256, 'c');
                 e.before.administrativeChange = std::string(64, '1');
             }},
            {"texts are not checked as safe text",
             [](auto& e) {
                 e.coverageReason = "line\nbreak";
                 e.after->reason = "\t";
             }},
            {"link sample at 125, then unknown",
             [](auto& e) {
                 e.links.back().offset = 125;
                 e.links.insert(e.links.end() - 1, {30, {}, {}, {}});
             }},
            {"rate near 2^64",
             [](auto& e) { e.links.back().rate = std::numeric_limits<std::uint64_t>::max(); }},
            {"valid adapter",
             [](auto& e) {
                 e.adapter = AdapterProfile{gigabit, gigabit, "Realtek RTL8153", 480'000'000};
                 e.lowPowerMode = true;
             }},
            {"128 samples, 16 changes",
             [](auto& e) {
                 e.links.clear();
                 for (int i = 0; i < 128; ++i) {
                     const bool up = i >= 16 || i % 2 == 0;
                     e.links.push_back({i * 0.5, up, {}, {}});
                 }
             }},
        });
}

TEST(EthernetRunEvidenceTest, ValidateRefusesWhatIsJustOutside) {
    const Ids ids;
    const double nan = std::nan("");
    const double infinity = std::numeric_limits<double>::infinity();
    expectEach(
        ids, false,
        {
            {"schema 3", [](auto& e) { e.schema = 3; }},
            {"counter width 64", [](auto& e) { e.counterWidth = 64; }},
            {"counter API", [](auto& e) { e.counterAPI = "getifaddrs AF_PACKET/rtnl_link_stats"; }},
            {"link API", [](auto& e) { e.linkAPI += " "; }},
            {"run", [](auto& e) { e.run = Uuid::random(); }},
            {"session", [](auto& e) { e.session = Uuid::random(); }},
            {"participant", [](auto& e) { e.participant = Uuid::random(); }},
            {"empty name", [](auto& e) { e.interface.clear(); }},
            {"65-byte name", [](auto& e) { e.interface = std::string(65, 'a'); }},
            {"name with a space", [](auto& e) { e.interface = "en 0"; }},
            {"name with a colon", [](auto& e) { e.interface = "en0:"; }},
            {"non-ASCII name", [](auto& e) { e.interface = "\xC3\xA9n0"; }},
            {"index 0", [](auto& e) { e.interfaceIndex = 0; }},
            {"129 samples",
             [](auto& e) {
                 e.links.clear();
                 for (int i = 0; i < 129; ++i) {
                     e.links.push_back({i * 0.5, true, {}, {}});
                 }
             }},
            {"17 changes",
             [](auto& e) {
                 e.links.clear();
                 for (int i = 0; i < 18; ++i) {
                     e.links.push_back({i * 0.5, i % 2 == 0, {}, {}});
                 }
             }},
            {"257-byte coverage reason", [](auto& e) { e.coverageReason = std::string(257, 'c'); }},
            {"invalid adapter",
             [](auto& e) {
                 e.adapter = AdapterProfile{gigabit, {}, {}, {}};
             }},
            {"reading at 125.5", [](auto& e) { e.after->offset = 125.5; }},
            {"negative reading", [](auto& e) { e.before.offset = -0.001; }},
            {"NaN reading", [nan](auto& e) { e.before.offset = nan; }},
            {"infinite reading", [infinity](auto& e) { e.after->offset = infinity; }},
            {"257-byte reason", [](auto& e) { e.after->reason = std::string(257, 'r'); }},
            {"65-byte state",
             [](auto& e) { e.after->administrativeChange = std::string(65, '1'); }},
            {"no reason, no drops", [](auto& e) { e.before.inputDrops.reset(); }},
            {"equal sample offsets",
             [](auto& e) { e.links.back().offset = e.links.front().offset; }},
            {"sample at 125.5", [](auto& e) { e.links.back().offset = 125.5; }},
            {"NaN sample", [nan](auto& e) { e.links.back().offset = nan; }},
            {"rate 0", [](auto& e) { e.links.back().rate = 0; }},
            {"rate without state", [](auto& e) { e.links.back().active.reset(); }},
            {"rate while down",
             [](auto& e) {
                 e.links.back() = {30, false, gigabit, {}};
             }},
            {"duplex while down",
             [](auto& e) {
                 e.links.back() = {30, false, {}, true};
             }},
            {"after not later", [](auto& e) { e.after->offset = e.before.offset; }},
            {"two rules at once",
             [](auto& e) {
                 e.schema = 1;
                 e.interfaceIndex = 0;
                 e.links.back().rate = 0;
             }},
        });
}

// ---------------------------------------------------------------- JSON

TEST(EthernetRunEvidenceTest, JsonRoundTrip) {
    const Ids ids;
    auto full = evidence(ids);
    full.before.registryID = std::numeric_limits<std::uint64_t>::max();
    full.after->registryID = std::numeric_limits<std::uint64_t>::max() - 1;
    full.after->rxErrors = std::numeric_limits<std::uint32_t>::max();
    full.after->reason = "partial";
    full.links.push_back({30.125, true, std::numeric_limits<std::uint64_t>::max(), false});
    full.links.push_back({31, {}, {}, {}});
    full.coverageReason = "Link sampling gap; transitions may have been missed.";
    full.adapter = AdapterProfile{2'500'000'000, gigabit, "Realtek RTL8156", 480'000'000};
    full.lowPowerMode = false;
    EXPECT_EQ(decodeRecord<EthernetRunEvidence>(encodeRecord(full)), full);

    auto sparse = evidence(ids);
    sparse.after.reset();
    sparse.links.clear();
    sparse.before = EthernetCounterSnapshot{};
    sparse.before.reason = "Selected interface identity changed.";
    const std::string text = encodeRecord(sparse);
    EXPECT_EQ(decodeRecord<EthernetRunEvidence>(text), sparse);
    for (const char* absent : {"\"after\"", "\"coverageReason\"", "\"adapter\"", "\"lowPowerMode\"",
                               "\"registryID\"", "\"rxErrors\""}) {
        EXPECT_EQ(text.find(absent), std::string::npos) << absent;
    }
    EXPECT_NE(text.find(R"("counterAPI":"getifaddrs AF_LINK/if_data")"), std::string::npos);
    EXPECT_NE(text.find(R"("linkAPI":"SIOCGIFXMEDIA; IORegistry kIOLinkStatus/kIOLinkSpeed")"),
              std::string::npos);
    EXPECT_NE(text.find(R"("schema":2)"), std::string::npos);
    EXPECT_NE(text.find(R"("counterWidth":32)"), std::string::npos);
}

TEST(EthernetRunEvidenceTest, JsonRefusesMissingAndIllTypedFields) {
    const Ids ids;
    const json::Value valid = json::parse(encodeRecord(evidence(ids)));
    for (const char* key : {"run", "session", "participant", "interface", "interfaceIndex",
                            "schema", "counterWidth", "counterAPI", "linkAPI", "before", "links"}) {
        auto broken = valid;
        broken.erase(key);
        EXPECT_THROW(decodeRecordValue<EthernetRunEvidence>(broken), ProtocolFailure) << key;
    }
    auto counter = valid;
    counter["before"]["rxErrors"] = 4294967296;  // does not fit 32 bits
    EXPECT_THROW(decodeRecordValue<EthernetRunEvidence>(counter), ProtocolFailure);
    auto offset = valid;
    offset["links"][0].erase("offset");
    EXPECT_THROW(decodeRecordValue<EthernetRunEvidence>(offset), ProtocolFailure);
}

}  // namespace
}  // namespace sorvanta
