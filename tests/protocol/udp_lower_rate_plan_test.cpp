#include <gtest/gtest.h>

#include <cmath>

#include "protocol/udp_observation.h"

namespace sorvanta {
namespace {

// A three-second first attempt at 1 Gbit/s: `accepted` datagrams sent, `unique` of them
// received over 3 s, none of the loss explained by the receiver's holes.
UDPObservation attempt(std::int64_t accepted, std::int64_t unique) {
    UDPObservation o;
    o.capacity = 1e9;
    o.plannedSeconds = 3.0;
    o.send.attempted = o.send.accepted = accepted;
    o.send.seconds = 3.0;
    o.unique = unique;
    o.arrivalSpan = 3.0;
    o.tailSeconds = 0.5;
    o.unexplainedHoles = 0;
    return o;
}

TEST(UDPLowerRatePlanTest, Plans) {
    using Plan = UDPObservation::Plan;
    struct Row {
        const char* name;
        UDPObservation observation;
        std::optional<Plan> plan;
    } rows[] = {
        {"receiver limited at 480 Mbit/s", attempt(200'000, 150'000), Plan{512e6, 5.859375}},
        {"only 4 % lower", attempt(300'000, 281'250), std::nullopt},
        {"below the minimum", attempt(20'000, 12'500), std::nullopt},
        {"not limited", attempt(234'375, 234'375), std::nullopt},
        {"sender limited, stretched to at most 6 s", attempt(100'000, 100'000),
         Plan{341'333'333, 6.0}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.observation.lowerRatePlan(50e6), row.plan) << row.name;
    }
    auto second = attempt(200'000, 150'000);
    second.attempt = 1;
    EXPECT_FALSE(second.lowerRatePlan(50e6));
}

}  // namespace
}  // namespace sorvanta
