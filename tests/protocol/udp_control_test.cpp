#include "protocol/udp_control.h"

#include <gtest/gtest.h>

#include "record_checks.h"

namespace sorvanta {
namespace {

using namespace testing_support;
using C = UDPControl;

C full() {
    C record;
    record.probe = Uuid::random();
    record.port = 50123;
    record.token = std::vector<std::uint8_t>(32, 0xFE);
    record.progress = 3'000'000;
    record.send = UDPSendSummary{};
    record.send->attempted = record.send->accepted = 1000;
    record.result = UDPObservation{};
    record.result->capacity = 1e9;
    record.result->send = *record.send;
    record.result->plannedSeconds = 3.0;
    record.result->tailSeconds = 0.5;
    record.path = std::string(1023, 'p') + "\n";  // only the length of the path is limited
    return record;
}

TEST(UDPControlTest, Validation) {
    EXPECT_TRUE(passes(C{}));
    expectValidity<C>(
        full(),
        {[](C&) {}, [](C& c) { c.leg = 1, c.port = 65535, c.progress = 0, c.path = ""; },
         [](C& c) { c.send->accepted = 999, c.send->reason = "Shortened"; }},
        true);
    expectValidity<C>(full(),
                      {[](C& c) { c.leg = 2; }, [](C& c) { c.leg = -1; }, [](C& c) { c.port = 0; },
                       [](C& c) { c.token->resize(31); }, [](C& c) { c.token->resize(33); },
                       [](C& c) { c.progress = 3'000'001; }, [](C& c) { c.progress = -1; },
                       [](C& c) { c.path = std::string(1025, 'p'); },
                       [](C& c) { c.send->accepted = 999; },  // one never completed
                       [](C& c) { c.result->plannedSeconds = 7; }},
                      false);
}

TEST(UDPControlTest, KeysAndRoundTrip) {
    C bare;
    bare.leg = 1;
    EXPECT_EQ(encodeRecord(bare), R"({"leg":1,"probe":")" + bare.probe.text() + R"("})");
    expectRoundTrip(full());
}

}  // namespace
}  // namespace sorvanta
