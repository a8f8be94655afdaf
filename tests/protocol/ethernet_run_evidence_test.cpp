#include "protocol/ethernet_run_evidence.h"

#include <gtest/gtest.h>

#include "record_checks.h"

namespace sorvanta {
namespace {

using namespace testing_support;
using E = EthernetRunEvidence;
constexpr std::uint64_t gigabit = 1'000'000'000;
constexpr auto rx = &EthernetCounterSnapshot::rxErrors;
constexpr auto tx = &EthernetCounterSnapshot::txErrors;
constexpr auto drops = &EthernetCounterSnapshot::inputDrops;

const Uuid run = Uuid::random();
const Uuid session = Uuid::random();
const Uuid participant = Uuid::random();

EthernetCounterSnapshot reading(double offset) {
    return {offset, 4242, "3:2", 0, 0, 0, std::nullopt};
}

E evidence() {
    E e;
    e.run = run;
    e.session = session;
    e.participant = participant;
    e.interface = "en0";
    e.interfaceIndex = 4;
    e.before = reading(0.5);
    e.after = reading(40.0);
    e.links = {{0.5, true, gigabit, true}, {20.0, true, gigabit, true}};
    return e;
}

void check(const E& e) {
    e.validate(run, session, participant);
}

// ---------------------------------------------------------------- link series

TEST(EthernetRunEvidenceTest, SamplingGapIsNotedButTheSampleKept) {
    E e;
    e.recordLink(0, true, gigabit, true);
    e.recordLink(0.25, true, gigabit, true);
    e.recordLink(2.75, true, gigabit, true);  // exactly 2.5 s later
    EXPECT_EQ(e.coverageReason, std::nullopt);
    e.recordLink(5.26, true, gigabit, false);  // duplex alone is no change
    EXPECT_EQ(e.links.size(), 4u);
    EXPECT_EQ(e.coverageReason, "Link sampling gap; transitions may have been missed.");
    EXPECT_TRUE(e.linkChanges().empty());
    EXPECT_FALSE(e.linkChanged());
}

TEST(EthernetRunEvidenceTest, ChangesAreCappedWhileEqualSamplesFillTheSeries) {
    E e;
    double t = 0;
    for (int i = 0; i < 40; ++i) {
        const bool up = i % 2 == 0;
        e.recordLink(t += 0.25, up, up ? std::optional<std::uint64_t>(gigabit) : std::nullopt, {});
    }
    // The first sample and 16 changes; then the "down" samples are dropped as changes while
    // the "up" ones equal the last kept sample and are appended.
    EXPECT_EQ(e.links.size(), 17u + 11u);
    EXPECT_EQ(e.linkChanges().size(), 16u);
    EXPECT_EQ(e.coverageReason, "Link change event capacity exceeded.");
    for (int i = 0; i < 200 && e.links.size() < 128; ++i) {  // bounded, should the cap fail
        e.recordLink(t += 0.25, true, gigabit, {});
    }
    e.recordLink(t += 0.25, true, gigabit, {});
    EXPECT_EQ(e.links.size(), 128u);
    EXPECT_EQ(e.coverageReason, "Link sample capacity exceeded.");
}

TEST(EthernetRunEvidenceTest, ChangesAndChangedReadAbsentValuesDifferently) {
    E e;
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
}

// ---------------------------------------------------------------- counter interval

TEST(EthernetRunEvidenceTest, CounterIntervalProblemsInOrder) {
    const std::string identity = "Interface identity or administrative state changed/unavailable.";
    const std::string unavailable = "A generic counter is unavailable.";
    const std::string decreased =
        "Counter decreased; reset or rollover uncertain for this interval.";
    const std::string invalid = "Invalid counter interval.";
    const std::vector<std::pair<void (*)(E&), std::optional<std::string>>> cases{
        {[](E&) {}, std::nullopt},
        {[](E& e) { e.after.reset(), e.before.reason = "first"; },
         "Postflight counters unavailable."},
        {[](E& e) { e.before.reason = "first", e.after->reason = "second"; }, "first"},
        {[](E& e) { e.after->reason = "second", e.after->registryID.reset(); }, "second"},
        // a changed state comes before a missing counter
        {[](E& e) { e.after->administrativeChange = "3:3", e.after->rxErrors.reset(); }, identity},
        {[](E& e) { e.before.registryID.reset(); }, identity},
        {[](E& e) { e.after->registryID = 4243; }, identity},
        {[](E& e) { e.before.administrativeChange.reset(), e.after->administrativeChange.reset(); },
         identity},
        // counters one by one: rxErrors decreasing before txErrors missing, and the reverse
        {[](E& e) { e.before.rxErrors = 10, e.after->rxErrors = 7, e.after->txErrors.reset(); },
         decreased},
        {[](E& e) { e.before.rxErrors.reset(), e.before.inputDrops = 5; }, unavailable},
        {[](E& e) { e.after->offset = e.before.offset; }, invalid},
        {[](E& e) { e.after->offset = nan; }, invalid}};
    for (const auto& [change, expected] : cases) {
        auto e = evidence();
        change(e);
        EXPECT_EQ(e.counterIntervalProblem(), expected) << expected.value_or("usable");
    }
}

TEST(EthernetRunEvidenceTest, Deltas) {
    auto e = evidence();
    e.before.rxErrors = 7;
    e.after->rxErrors = 10;
    e.before.inputDrops = std::numeric_limits<std::uint32_t>::max() - 5;
    e.after->inputDrops = std::numeric_limits<std::uint32_t>::max();
    EXPECT_EQ(e.delta(rx), 3u);
    EXPECT_EQ(e.delta(tx), 0u);
    EXPECT_EQ(e.delta(drops), 5u);
    e.before.rxErrors = 10;
    e.after->rxErrors = 7;
    EXPECT_EQ(e.delta(tx), std::nullopt);  // an unusable interval gives no delta at all
    e.after.reset();
    EXPECT_EQ(e.delta(tx), std::nullopt);
}

// ---------------------------------------------------------------- validation

std::vector<EthernetLinkSample> series(int count, bool changing) {
    std::vector<EthernetLinkSample> links;
    for (int i = 0; i < count; ++i) {
        links.push_back({i * 0.5, !changing || i % 2 == 0, {}, {}});
    }
    return links;
}

TEST(EthernetRunEvidenceTest, Validation) {
    const auto base = evidence();
    expectBounds(base, &E::schema, {2}, {3}, check);
    expectBounds(base, &E::counterWidth, {32}, {64}, check);
    expectBounds(base, &E::counterAPI, {}, {"getifaddrs AF_PACKET"}, check);
    expectBounds(base, &E::linkAPI, {}, {base.linkAPI + " "}, check);
    expectBounds(base, &E::run, {}, {session}, check);
    expectBounds(base, &E::session, {}, {run}, check);
    expectBounds(base, &E::participant, {}, {run}, check);
    expectBounds(base, &E::interface, {std::string(55, 'a') + "AZz09.-_b"},  // 64 bytes
                 {"", std::string(65, 'a'), "en 0", "en0:", "\xC3\xA9n0"}, check);
    expectBounds(base, &E::interfaceIndex, {1}, {0}, check);
    // Texts are bounded only, not checked as safe text.
    expectBounds(base, &E::coverageReason, {std::string(255, 'c') + "\n"}, {std::string(257, 'c')},
                 check);
    expectBounds(base, &E::adapter, {AdapterProfile{gigabit, gigabit, "Realtek RTL8153", {}}},
                 {AdapterProfile{gigabit, {}, {}, {}}}, check);
    // At most 128 samples and 16 changes.
    auto steadyAfterChanges = series(128, false);
    for (int i = 1; i < 16; i += 2) {
        steadyAfterChanges[i].active = false;
    }
    expectBounds(base, &E::links, {steadyAfterChanges, series(17, true)},
                 {series(129, false), series(18, true)}, check);
    // The last link sample replaced by each of these.
    auto lastSample = [](const E& e, const EthernetLinkSample& last) {
        auto changed = e;
        changed.links.back() = last;
        check(changed);
    };
    for (const EthernetLinkSample good :
         {EthernetLinkSample{125, true, std::numeric_limits<std::uint64_t>::max(), false},
          EthernetLinkSample{20, {}, {}, {}}, EthernetLinkSample{20, false, {}, {}}}) {
        EXPECT_TRUE(passesCheck([&] { lastSample(base, good); })) << good.offset;
    }
    for (const EthernetLinkSample bad :
         {EthernetLinkSample{0.5, true, {}, {}}, EthernetLinkSample{125.5, true, {}, {}},
          EthernetLinkSample{nan, true, {}, {}}, EthernetLinkSample{30, true, 0, {}},
          EthernetLinkSample{30, {}, gigabit, {}}, EthernetLinkSample{30, false, gigabit, {}},
          EthernetLinkSample{30, false, {}, true}}) {
        EXPECT_FALSE(passesCheck([&] { lastSample(base, bad); })) << bad.offset;
    }
    // Readings: offsets 0 … 125, bounded texts, counters unless there is a reason, and the
    // second reading later than the first.
    auto early = base;
    early.before.offset = -0.0;
    expectBounds(early, &E::after,
                 {std::nullopt, reading(125), EthernetCounterSnapshot{1, {}, {}, {}, {}, {}, "\t"}},
                 {reading(125.5), reading(-0.0), reading(nan), reading(infinity),
                  EthernetCounterSnapshot{1, 1, "1:1", 0, 0, {}, {}},
                  EthernetCounterSnapshot{1, {}, {}, {}, {}, {}, std::string(257, 'r')},
                  EthernetCounterSnapshot{1, 1, std::string(65, '1'), 0, 0, 0, {}}},
                 check);
    expectBounds(base, &E::before,
                 {reading(-0.0), EthernetCounterSnapshot{0, 1, std::string(64, '1'), 0, 0, 0, {}}},
                 {reading(-0.001), reading(nan), reading(40)}, check);
}

TEST(EthernetRunEvidenceTest, KeysAndRoundTrip) {
    auto full = evidence();
    full.before.registryID = std::numeric_limits<std::uint64_t>::max();
    full.after->rxErrors = std::numeric_limits<std::uint32_t>::max();
    full.after->txErrors = 1, full.after->inputDrops = 2;
    full.coverageReason = "Link sampling gap; transitions may have been missed.";
    full.adapter = AdapterProfile{2'500'000'000, gigabit, "Realtek RTL8156", 480'000'000};
    full.lowPowerMode = false;
    expectRoundTrip(full);
    const auto text = encodeRecord(full);
    for (const std::string key : {"run",
                                  "session",
                                  "participant",
                                  "interface",
                                  "interfaceIndex",
                                  "schema",
                                  "counterWidth",
                                  "counterAPI",
                                  "linkAPI",
                                  "before",
                                  "after",
                                  "links",
                                  "coverageReason",
                                  "adapter",
                                  "lowPowerMode",
                                  "offset",
                                  "registryID",
                                  "administrativeChange",
                                  "rxErrors",
                                  "txErrors",
                                  "inputDrops",
                                  "active",
                                  "rate",
                                  "fullDuplex"}) {
        EXPECT_NE(text.find("\"" + key + "\":"), std::string::npos) << key;
    }
    EXPECT_NE(text.find(R"("linkAPI":"SIOCGIFXMEDIA; IORegistry kIOLinkStatus/kIOLinkSpeed")"),
              std::string::npos);
    EXPECT_NE(text.find(R"("counterAPI":"getifaddrs AF_LINK/if_data")"), std::string::npos);
}

}  // namespace
}  // namespace sorvanta
