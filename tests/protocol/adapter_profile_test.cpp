#include "protocol/adapter_profile.h"

#include <gtest/gtest.h>

#include "record_checks.h"

namespace sorvanta {
namespace {

using namespace testing_support;
using P = AdapterProfile;
constexpr std::uint64_t gigabit = 1'000'000'000;

HardwareIdentity usb(std::uint16_t vendor, std::uint16_t product, std::optional<int> speed,
                     std::optional<std::uint16_t> revision = std::nullopt) {
    HardwareIdentity identity;
    identity.bus = HardwareIdentity::Bus::usb;
    identity.usbVendor = vendor;
    identity.usbProduct = product;
    identity.usbSpeed = speed;
    identity.usbRevision = revision;
    return identity;
}

HardwareIdentity pci(std::uint16_t vendor, std::uint16_t device) {
    HardwareIdentity identity;
    identity.bus = HardwareIdentity::Bus::pci;
    identity.pciVendor = vendor;
    identity.pciDevice = device;
    return identity;
}

TEST(AdapterProfileTest, BuiltFromTheChipAndTheConnection) {
    const std::pair<HardwareIdentity, P> cases[] = {
        // Slow USB (codes 1 to 3) caps the assured rate, never the maximum.
        {usb(0x0bda, 0x8156, 3), {2'500'000'000, gigabit, "Realtek RTL8156", 480'000'000}},
        {usb(0x0bda, 0x8156, 4), {2'500'000'000, gigabit, "Realtek RTL8156", 5'000'000'000}},
        {usb(0x0bda, 0x8157, 2), {5'000'000'000, gigabit, "Realtek RTL8157", 1'500'000}},
        {usb(0x0bda, 0x8157, 1), {5'000'000'000, gigabit, "Realtek RTL8157", 12'000'000}},
        {usb(0x2eca, 0xc101, 5),
         {5'000'000'000, 2'500'000'000, "Aquantia AQC111U", 10'000'000'000}},
        {usb(0x2eca, 0xc101, 3), {5'000'000'000, gigabit, "Aquantia AQC111U", 480'000'000}},
        {usb(0x0b95, 0x1790, 3, 0x0400), {2'500'000'000, gigabit, "ASIX AX88279", 480'000'000}},
        {usb(0x0b95, 0x1790, 6, 0x0200), {gigabit, gigabit, "ASIX AX88179A", 20'000'000'000}},
        {usb(0x0bda, 0x8152, 3), {100'000'000, 100'000'000, "Realtek RTL8152", 480'000'000}},
        // A known chip on an unknown speed code has no connection and no cap.
        {usb(0x0bda, 0x8157, 0), {5'000'000'000, 5'000'000'000, "Realtek RTL8157", {}}},
        // Unknown adapters keep only their connection.
        {usb(0x1234, 0x5678, 6), {{}, {}, {}, 20'000'000'000}},
        {usb(0x1234, 0x5678, 0), {}},
        {usb(0x1234, 0x5678, 7), {}},
        {pci(0x8086, 0x15f3), {2'500'000'000, 2'500'000'000, "Intel I225", {}}},
        {pci(0x10ec, 0x8125), {2'500'000'000, gigabit, "Realtek RTL8125", {}}},
        {pci(0x8086, 0x0001), {}}};
    for (const auto& [identity, expected] : cases) {
        const auto built = P::fromIdentity(identity);
        EXPECT_EQ(built, expected) << encodeRecord(expected);
        EXPECT_TRUE(passes(built));
    }
}

TEST(AdapterProfileTest, Validation) {
    const std::string chip = "Chip";
    std::string accented;  // 66 bytes in 33 characters: the bound counts bytes
    for (int i = 0; i < 33; ++i) {
        accented += "\xC3\xA9";
    }
    for (const P& good :
         {P{}, P{{}, {}, {}, 1'000'000}, P{{}, {}, {}, 200'000'000'000},
          P{10'000'000, 10'000'000, chip, {}}, P{400'000'000'000, 10'000'000, chip, {}},
          P{gigabit, gigabit, std::string(64, 'x'), {}}}) {
        EXPECT_TRUE(passes(good)) << encodeRecord(good);
    }
    for (const P& bad :
         {P{9'999'999, 9'999'999, chip, {}}, P{400'000'000'001, 10'000'000, chip, {}},
          P{std::numeric_limits<std::uint64_t>::max(), 10'000'000, chip, {}},
          P{gigabit, 9'999'999, chip, {}}, P{gigabit, gigabit + 1, chip, {}},
          P{{}, {}, {}, 999'999}, P{{}, {}, {}, 200'000'000'001},
          P{gigabit, gigabit, std::string(65, 'x'), {}}, P{gigabit, gigabit, accented, {}},
          P{gigabit, gigabit, "", {}}, P{gigabit, gigabit, "Chip\n", {}}, P{gigabit, {}, chip, {}},
          P{{}, gigabit, chip, {}}, P{gigabit, {}, {}, {}}, P{{}, gigabit, {}, {}}}) {
        EXPECT_FALSE(passes(bad)) << encodeRecord(bad);
    }
}

TEST(AdapterProfileTest, KeysAndUnknownKeys) {
    const P full{std::numeric_limits<std::uint64_t>::max(), gigabit, "Realtek RTL8156",
                 480'000'000};
    EXPECT_EQ(encodeRecord(full),
              R"({"assured":1000000000,"chip":"Realtek RTL8156","connection":480000000,)"
              R"("maximum":18446744073709551615})");
    expectRoundTrip(full);
    EXPECT_EQ(encodeRecord(P{}), "{}");
    EXPECT_EQ(decodeRecord<P>(R"({"other":1})"), P{});
}

}  // namespace
}  // namespace sorvanta
