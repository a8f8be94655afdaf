#include "protocol/udp_binding.h"

#include <gtest/gtest.h>

#include "record_checks.h"

namespace sorvanta {
namespace {

using namespace testing_support;
using B = UDPBinding;

TEST(UDPBindingTest, LegAndTokenSize) {
    const B binding{Uuid::random(),
                    Uuid::random(),
                    Uuid::random(),
                    Uuid::random(),
                    1,
                    std::vector<std::uint8_t>(32, 0xFB)};
    expectValidity<B>(binding, {[](B&) {}, [](B& b) { b.leg = 0; }}, true);
    expectValidity<B>(binding,
                      {[](B& b) { b.leg = 2; }, [](B& b) { b.leg = -1; },
                       [](B& b) { b.token.resize(31); }, [](B& b) { b.token.resize(33); }},
                      false);
    // The token travels as Base64 text.
    EXPECT_NE(encodeRecord(binding).find(R"("token":"+/v7)"), std::string::npos);
    expectRoundTrip(binding);
}

}  // namespace
}  // namespace sorvanta
