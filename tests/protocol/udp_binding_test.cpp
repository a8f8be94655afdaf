#include "protocol/udp_binding.h"

#include <gtest/gtest.h>

#include "udp_record_checks.h"

namespace sorvanta {
namespace {

using namespace testing_support;
using B = UDPBinding;

TEST(UDPBindingTest, ValidatesLegAndTokenAndRoundTrips) {
    B binding{Uuid::random(),
              Uuid::random(),
              Uuid::random(),
              Uuid::random(),
              1,
              std::vector<std::uint8_t>(32, 0xFB)};
    EXPECT_TRUE(passes(binding));
    expectValidity<B>(binding, {[](B& b) { b.leg = 0; }}, true);
    expectValidity<B>(
        binding,
        {[](B& b) { b.leg = 2; }, [](B& b) { b.leg = -1; }, [](B& b) { b.token.resize(31); },
         [](B& b) { b.token.resize(33); }, [](B& b) { b.token.clear(); }},
        false);

    const auto text = encodeRecord(binding);
    EXPECT_NE(text.find(R"("token":"+/v7)"), std::string::npos);
    expectRoundTrip(binding);
}

}  // namespace
}  // namespace sorvanta
