#include "protocol/udp_lower_rate_plan.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>

#include "protocol/record_coding.h"
#include "protocol/speed_message.h"
#include "protocol_samples.h"

namespace sorvanta {
namespace {

// A first attempt paced against 1 Gbit/s for 3 s whose receiver kept `unique` datagrams
// over `span` seconds, the rest lost to its own receive queue.
UDPObservation receiverLimited(std::int64_t unique, double span, std::int64_t attempt = 0) {
    auto o = samples::observation();
    o.capacity = 1e9;
    o.plannedSeconds = 3.0;
    o.send.attempted = o.send.accepted = 234'375;  // 0.75 × 1 Gbit/s × 3 s
    o.send.seconds = 3.0;
    o.unique = unique;
    o.arrivalSpan = span;
    o.unexplainedHoles = 0;
    o.attempt = attempt;
    return o;
}

struct PlanRow {
    const char* name;
    UDPObservation observation;
    std::optional<UDPLowerRatePlan> plan;
};

TEST(UDPLowerRatePlan, Table) {
    const PlanRow rows[] = {
        {"aimsAtFourFifthsOfTheReceivedRate", receiverLimited(150'000, 3.0),
         UDPLowerRatePlan{512'000'000, 5.859375}},
        {"notFivePercentLower", receiverLimited(150'000, 1.6), std::nullopt},
        {"belowTheMinimum", receiverLimited(12'500, 3.0), std::nullopt},
        {"onlyAfterAFirstAttempt", receiverLimited(150'000, 3.0, 1), std::nullopt},
        {"notLimited", receiverLimited(234'375, 3.0), std::nullopt},
        {"stretchedToAtMostSixSeconds", receiverLimited(60'000, 3.0),
         UDPLowerRatePlan{204'800'000, 6.0}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(lowerRatePlan(row.observation, 50'000'000), row.plan) << row.name;
    }
}

// Both computers compare capacity and planned seconds bit for bit after the observation
// crossed the wire, so the JSON form must read back to the very same doubles.
TEST(UDPLowerRatePlan, PlannedValuesSurviveTheWireExactly) {
    const double capacities[] = {940e6 * 0.999'999, 1e9 / 3, 0.1 + 0.2, 123'456'789.123'456'7};
    for (double capacity : capacities) {
        auto o = receiverLimited(117'187, 2.97);
        o.capacity = capacity;
        for (double planned : {3.0, capacity * 3.0 / (capacity * 0.51), 5.94'000'000'000'1}) {
            o.plannedSeconds = std::min(planned, 6.0);
            auto message = samples::speed(SpeedMessage::Kind::udpResult);
            message.udp->result = o;
            auto back = decodeRecord<SpeedMessage>(encodeRecord(message));
            ASSERT_TRUE(back.udp && back.udp->result);
            EXPECT_EQ(std::bit_cast<std::uint64_t>(back.udp->result->capacity),
                      std::bit_cast<std::uint64_t>(o.capacity));
            EXPECT_EQ(std::bit_cast<std::uint64_t>(back.udp->result->plannedSeconds),
                      std::bit_cast<std::uint64_t>(o.plannedSeconds));
        }
    }
}

}  // namespace
}  // namespace sorvanta
