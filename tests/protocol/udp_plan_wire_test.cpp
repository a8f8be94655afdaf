#include <gtest/gtest.h>

#include <bit>
#include <cstdint>

#include "protocol/record_coding.h"
#include "protocol/speed_message.h"
#include "protocol_samples.h"

namespace sorvanta {
namespace {

// Both computers compare a probe observation's capacity and planned seconds bit for bit
// with their own plan after it crossed the wire, so the JSON form must read back to the
// very same doubles: the TCP capacities a run measures and the plans derived from them.
TEST(UDPPlanOnTheWire, CapacityAndPlannedSecondsReadBackExactly) {
    const double capacities[] = {940e6 * 0.999'999, 1e9 / 3, 0.1 + 0.2, 123'456'789.123'456'7};
    for (double capacity : capacities) {
        auto o = samples::observation();
        o.capacity = capacity;
        for (double planned : {3.0, 3.0 / 0.51, 5.940'000'000'000'1, 6.0}) {
            o.plannedSeconds = planned;
            auto message = samples::speed(SpeedMessage::Kind::udpResult);
            message.udp->result = o;
            auto back = decodeRecord<SpeedMessage>(encodeRecord(message));
            ASSERT_TRUE(back.udp && back.udp->result);
            EXPECT_EQ(std::bit_cast<std::uint64_t>(back.udp->result->capacity),
                      std::bit_cast<std::uint64_t>(capacity));
            EXPECT_EQ(std::bit_cast<std::uint64_t>(back.udp->result->plannedSeconds),
                      std::bit_cast<std::uint64_t>(planned));
        }
    }
}

}  // namespace
}  // namespace sorvanta
