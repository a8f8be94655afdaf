#include "engines/udp_datagram.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <vector>

namespace sorvanta {
namespace {

namespace dg = udp_datagram;
using Case = ProtocolFailure::Case;
using Bytes = std::vector<std::uint8_t>;

UDPBinding binding() {
    return {Uuid::random(),
            Uuid::random(),
            Uuid::random(),
            Uuid::random(),
            1,
            std::vector<std::uint8_t>(32, 0x5A)};
}

Bytes datagram(const UDPBinding::Prefix& prefix, std::uint8_t kind, std::uint32_t sequence,
               double time) {
    Bytes bytes(dg::size, 0);
    dg::writeHeader(bytes, prefix, kind, sequence, time);
    return bytes;
}

TEST(UdpDatagramTest, PrefixLayout) {
    const auto b = binding();
    const auto prefix = b.datagramPrefix();
    EXPECT_EQ(Bytes(prefix.begin(), prefix.begin() + 6), (Bytes{'S', 'V', 'U', '5', 5, 0}));
    EXPECT_TRUE(std::equal(b.probe.bytes().begin(), b.probe.bytes().end(), prefix.begin() + 38));
    EXPECT_TRUE(std::equal(b.sender.bytes().begin(), b.sender.bytes().end(), prefix.begin() + 54));
    EXPECT_EQ(prefix[70], 0x5A);
    EXPECT_EQ(prefix[101], 0x5A);
    EXPECT_EQ(prefix[102], 1);
    // Sequence and time are big-endian.
    const auto bytes = datagram(prefix, 1, 0x01020304, 1.0);
    EXPECT_EQ(Bytes(bytes.begin() + 103, bytes.begin() + 115),
              (Bytes{1, 2, 3, 4, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0}));
}

TEST(UdpDatagramTest, ParseRefusesInOrder) {
    const auto prefix = binding().datagramPrefix();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Row {
        const char* name;
        std::function<void(Bytes&)> change;
        std::optional<Case> refusal;
    };
    const auto time = [](double t) {
        return [t](Bytes& d) {
            const auto bits = std::bit_cast<std::uint64_t>(t);
            for (int i = 0; i < 8; ++i) {
                d[107 + i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
            }
        };
    };
    const Row rows[] = {
        {"as written", [](Bytes&) {}, std::nullopt},
        {"1199 bytes", [](Bytes& d) { d.resize(1199); }, Case::invalidLength},
        {"1201 bytes with a wrong prefix", [](Bytes& d) { d.resize(1201), d[0] = 0; },
         Case::invalidLength},
        {"kind 2 and a wrong prefix", [](Bytes& d) { d[5] = 2, d[6] ^= 1; }, Case::invalidLength},
        {"leg byte", [](Bytes& d) { d[102] ^= 1; }, Case::identityChanged},
        {"magic", [](Bytes& d) { d[0] = 'X'; }, Case::identityChanged},
        {"last token byte", [](Bytes& d) { d[101] ^= 0x80; }, Case::identityChanged},
        {"sequence 2,999,999",
         [](Bytes& d) { d[103] = 0, d[104] = 0x2D, d[105] = 0xC6, d[106] = 0xBF; }, std::nullopt},
        {"sequence 3,000,000",
         [](Bytes& d) { d[103] = 0, d[104] = 0x2D, d[105] = 0xC6, d[106] = 0xC0; },
         Case::malformed},
        {"time 1e9", time(1e9), std::nullopt},
        {"time after 1e9", time(std::nextafter(1e9, 2e9)), Case::malformed},
        {"time -0", time(-0.0), std::nullopt},
        {"negative time", time(-1e-300), Case::malformed},
        {"infinite time", time(inf), Case::malformed},
        {"NaN time", time(nan), Case::malformed},
        {"non-zero fill", [](Bytes& d) { d[115] = d[1199] = 0xFF; }, std::nullopt},
    };
    for (const auto& row : rows) {
        auto bytes = datagram(prefix, 1, 7, 2.5);
        row.change(bytes);
        const auto outcome = dg::check(bytes, prefix);
        EXPECT_EQ(outcome.datagram.has_value(), !row.refusal) << row.name;
        if (row.refusal) {
            EXPECT_EQ(outcome.failure, *row.refusal) << row.name;
            EXPECT_THROW(dg::parse(bytes, prefix), ProtocolFailure) << row.name;
        }
    }
}

TEST(UdpDatagramTest, KindsAndReadinessSequence) {
    const auto prefix = binding().datagramPrefix();
    EXPECT_EQ(dg::parse(datagram(prefix, 1, 0, 0.5), prefix), (dg::Parsed{0, true, 0.5}));
    EXPECT_EQ(dg::parse(datagram(prefix, 0, 0, 0.5), prefix), (dg::Parsed{0, false, 0.5}));
    EXPECT_EQ(dg::check(datagram(prefix, 0, 1, 0.5), prefix).failure, Case::malformed);
    EXPECT_EQ(dg::check(datagram(prefix, 1, 0, 0.5), Bytes(102, 0)).failure, Case::invalidLength);
}

}  // namespace
}  // namespace sorvanta
