#include "assessment/verdict/speed_evidence.h"

#include <gtest/gtest.h>

#include <functional>

#include "assessment/run_fixture.h"

namespace sorvanta {
namespace {

using namespace fixture;
using namespace speed_evidence;

TEST(SpeedEvidenceTest, ReadsOnlyValidatedEvidenceOfTheRun) {
    struct Case {
        const char* name;
        std::function<void(SpeedSnapshot&)> change;
        std::optional<double> link;
        std::size_t adapters;
        std::vector<Uuid> lowPower;
        bool clean;
    };
    const Case cases[] = {
        {"healthy run", [](auto&) {}, 1e9, 2, {}, true},
        {"no session: nothing",
         [](auto& s) {
             s.quality.session.reset();
             s.quality.ethernet[0].lowPowerMode = true;
         },
         std::nullopt,
         0,
         {},
         false},
        {"record of another run is dropped",
         [](auto& s) { s.quality.ethernet[1].run = macA; },
         1e9,
         1,
         {},
         false},
        {"renegotiated link",
         [](auto& s) { s.quality.ethernet[1].links[2].rate = 2'500'000'000; },
         std::nullopt,
         2,
         {},
         false},
        {"inactive samples ignored",
         [](auto& s) {
             s.quality.ethernet[1].links.push_back({60, false, std::nullopt, std::nullopt});
             s.quality.ethernet[0].links.push_back({60, std::nullopt, std::nullopt, std::nullopt});
         },
         1e9,
         2,
         {},
         false},
        {"same Mac twice: first adapter and one Low Power entry",
         [](auto& s) {
             s.quality.ethernet[1] = s.quality.ethernet[0];
             s.quality.ethernet[1].adapter->chip = "Other";
             s.quality.ethernet[0].lowPowerMode = s.quality.ethernet[1].lowPowerMode = true;
         },
         1e9,
         1,
         {macA},
         true},
        {"duplex window without bytes",
         [](auto& s) { s.stages[2].directions[0].transport->window->sent = 0; },
         1e9,
         2,
         {},
         false},
        {"one more receive error",
         [](auto& s) { s.quality.ethernet[0].after->rxErrors = 13; },
         1e9,
         2,
         {},
         false},
        {"half-duplex sample",
         [](auto& s) { s.quality.ethernet[1].links[1].fullDuplex = false; },
         1e9,
         2,
         {},
         false},
    };
    for (const auto& c : cases) {
        SpeedSnapshot s = completeRun();
        c.change(s);
        const auto link = linkFromEvidence(s);
        EXPECT_EQ(link.has_value(), c.link.has_value()) << c.name;
        if (link && c.link) {
            EXPECT_EQ(link->bitsPerSecond, *c.link) << c.name;
            EXPECT_EQ(link->source, "Negotiated link during this test") << c.name;
        }
        const auto adapters = adapterProfiles(s);
        EXPECT_EQ(adapters.size(), c.adapters) << c.name;
        if (!adapters.empty()) {
            EXPECT_EQ(adapters[0].second.chip, "Realtek RTL8156B") << c.name;
        }
        EXPECT_EQ(lowPowerParticipants(s), c.lowPower) << c.name;
        EXPECT_EQ(cleanCeiling(s), c.clean) << c.name;
    }
}

}  // namespace
}  // namespace sorvanta
