#include "protocol/adapter_profile.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "protocol/protocol_failure.h"
#include "protocol/record_coding.h"

namespace sorvanta {
namespace {

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

AdapterProfile profile(std::optional<std::uint64_t> maximum, std::optional<std::uint64_t> assured,
                       std::optional<std::string> chip,
                       std::optional<std::uint64_t> connection = std::nullopt) {
    return {maximum, assured, std::move(chip), connection};
}

TEST(AdapterProfileTest, SlowUsbCapsTheAssuredRateButNeverTheMaximum) {
    EXPECT_EQ(AdapterProfile::fromIdentity(usb(0x0bda, 0x8156, 3)),
              profile(2'500'000'000, 1'000'000'000, "Realtek RTL8156", 480'000'000));
    EXPECT_EQ(AdapterProfile::fromIdentity(usb(0x0bda, 0x8156, 4)),
              profile(2'500'000'000, 1'000'000'000, "Realtek RTL8156", 5'000'000'000));
    EXPECT_EQ(AdapterProfile::fromIdentity(usb(0x0bda, 0x8157, 2)),
              profile(5'000'000'000, 1'000'000'000, "Realtek RTL8157", 1'500'000));
    EXPECT_EQ(AdapterProfile::fromIdentity(usb(0x0bda, 0x8157, 1)),
              profile(5'000'000'000, 1'000'000'000, "Realtek RTL8157", 12'000'000));
    EXPECT_EQ(AdapterProfile::fromIdentity(usb(0x2eca, 0xc101, 5)).assured, 2'500'000'000u);
    EXPECT_EQ(AdapterProfile::fromIdentity(usb(0x2eca, 0xc101, 3)).assured, 1'000'000'000u);
    EXPECT_EQ(AdapterProfile::fromIdentity(usb(0x0b95, 0x1790, 3, 0x0400)),
              profile(2'500'000'000, 1'000'000'000, "ASIX AX88279", 480'000'000));
    EXPECT_EQ(AdapterProfile::fromIdentity(usb(0x0b95, 0x1790, 6, 0x0200)),
              profile(1'000'000'000, 1'000'000'000, "ASIX AX88179A", 20'000'000'000));
    // A 100 Mbit/s chip on USB 2 stays at its own, lower rate.
    EXPECT_EQ(AdapterProfile::fromIdentity(usb(0x0bda, 0x8152, 3)).assured, 100'000'000u);
}

TEST(AdapterProfileTest, UnknownAdaptersKeepOnlyTheirConnection) {
    EXPECT_EQ(AdapterProfile::fromIdentity(usb(0x1234, 0x5678, 6)),
              profile(std::nullopt, std::nullopt, std::nullopt, 20'000'000'000));
    EXPECT_EQ(AdapterProfile::fromIdentity(usb(0x1234, 0x5678, 0)), AdapterProfile{});
    EXPECT_EQ(AdapterProfile::fromIdentity(usb(0x1234, 0x5678, 7)), AdapterProfile{});
    // A known chip on an unknown speed code has no connection and no cap.
    EXPECT_EQ(AdapterProfile::fromIdentity(usb(0x0bda, 0x8157, 0)),
              profile(5'000'000'000, 5'000'000'000, "Realtek RTL8157"));
}

TEST(AdapterProfileTest, PciAdaptersHaveNoConnection) {
    auto pci = [](std::uint16_t vendor, std::uint16_t device) {
        HardwareIdentity identity;
        identity.bus = HardwareIdentity::Bus::pci;
        identity.pciVendor = vendor;
        identity.pciDevice = device;
        return identity;
    };
    EXPECT_EQ(AdapterProfile::fromIdentity(pci(0x8086, 0x15f3)),
              profile(2'500'000'000, 2'500'000'000, "Intel I225"));
    EXPECT_EQ(AdapterProfile::fromIdentity(pci(0x10ec, 0x8125)),
              profile(2'500'000'000, 1'000'000'000, "Realtek RTL8125"));
    EXPECT_EQ(AdapterProfile::fromIdentity(pci(0x8086, 0x0001)), AdapterProfile{});
}

void expectMalformed(const AdapterProfile& p) {
    try {
        p.validate();
        ADD_FAILURE() << "accepted " << encodeRecord(p);
    } catch (const ProtocolFailure& failure) {
        EXPECT_EQ(failure, ProtocolFailure::malformed) << encodeRecord(p);
    }
}

TEST(AdapterProfileTest, ValidateBounds) {
    const std::string chip = "Chip";
    EXPECT_NO_THROW(profile(10'000'000, 10'000'000, chip).validate());
    expectMalformed(profile(9'999'999, 9'999'999, chip));
    EXPECT_NO_THROW(profile(400'000'000'000, 10'000'000, chip).validate());
    expectMalformed(profile(400'000'000'001, 10'000'000, chip));
    expectMalformed(profile(std::numeric_limits<std::uint64_t>::max(), 10'000'000, chip));
    // The assured rate lies between the lowest rate and the maximum.
    expectMalformed(profile(1'000'000'000, 9'999'999, chip));
    EXPECT_NO_THROW(profile(1'000'000'000, 1'000'000'000, chip).validate());
    expectMalformed(profile(1'000'000'000, 1'000'000'001, chip));

    EXPECT_NO_THROW(profile(std::nullopt, std::nullopt, std::nullopt, 1'000'000).validate());
    expectMalformed(profile(std::nullopt, std::nullopt, std::nullopt, 999'999));
    EXPECT_NO_THROW(profile(std::nullopt, std::nullopt, std::nullopt, 200'000'000'000).validate());
    expectMalformed(profile(std::nullopt, std::nullopt, std::nullopt, 200'000'000'001));
    EXPECT_NO_THROW(AdapterProfile{}.validate());
}

TEST(AdapterProfileTest, ValidateChipRules) {
    EXPECT_NO_THROW(profile(1'000'000'000, 1'000'000'000, std::string(64, 'x')).validate());
    expectMalformed(profile(1'000'000'000, 1'000'000'000, std::string(65, 'x')));
    // 64 bytes of UTF-8 are fewer characters: the bound counts bytes.
    std::string accented;
    for (int i = 0; i < 33; ++i) {
        accented += "\xC3\xA9";
    }
    expectMalformed(profile(1'000'000'000, 1'000'000'000, accented));
    expectMalformed(profile(1'000'000'000, 1'000'000'000, ""));
    expectMalformed(profile(1'000'000'000, 1'000'000'000, "Chip\n"));
    expectMalformed(profile(1'000'000'000, std::nullopt, "Chip"));
    expectMalformed(profile(std::nullopt, 1'000'000'000, "Chip"));
    expectMalformed(profile(1'000'000'000, std::nullopt, std::nullopt));
    expectMalformed(profile(std::nullopt, 1'000'000'000, std::nullopt));
    // Breaking two rules at once still fails, with the same case.
    expectMalformed(profile(1, 2, std::string(65, 'x'), 3));
}

TEST(AdapterProfileTest, EveryBuiltProfilePassesValidation) {
    for (int speed = 0; speed <= 7; ++speed) {
        EXPECT_NO_THROW(AdapterProfile::fromIdentity(usb(0x0bda, 0x8156, speed)).validate());
        EXPECT_NO_THROW(AdapterProfile::fromIdentity(usb(0x1234, 0x5678, speed)).validate());
    }
}

TEST(AdapterProfileTest, JsonRoundTripAndKeys) {
    const auto full = profile(std::numeric_limits<std::uint64_t>::max(), 1'000'000'000,
                              "Realtek RTL8156", 480'000'000);
    const std::string text = encodeRecord(full);
    EXPECT_EQ(text, R"({"assured":1000000000,"chip":"Realtek RTL8156","connection":480000000,)"
                    R"("maximum":18446744073709551615})");
    EXPECT_EQ(decodeRecord<AdapterProfile>(text), full);
    EXPECT_EQ(encodeRecord(AdapterProfile{}), "{}");
    EXPECT_EQ(decodeRecord<AdapterProfile>(R"({"chip":null,"other":1})"), AdapterProfile{});
    EXPECT_THROW(decodeRecord<AdapterProfile>(R"({"maximum":-1})"), ProtocolFailure);
    EXPECT_THROW(decodeRecord<AdapterProfile>(R"({"maximum":1e9})"), ProtocolFailure);
    EXPECT_THROW(decodeRecord<AdapterProfile>(R"({"chip":5})"), ProtocolFailure);
}

}  // namespace
}  // namespace sorvanta
