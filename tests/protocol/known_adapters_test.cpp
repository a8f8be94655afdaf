#include "protocol/known_adapters.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sorvanta {
namespace {

struct Row {
    std::uint16_t vendor;
    std::uint16_t product;
    std::string name;
    std::uint64_t maximum;
    std::optional<std::uint64_t> assured;
};

const std::vector<Row> usbRows{
    {0x0bda, 0x8152, "Realtek RTL8152", 100'000'000, std::nullopt},
    {0x0bda, 0x8050, "Realtek RTL8152B", 100'000'000, std::nullopt},
    {0x0bda, 0x8150, "Realtek RTL8150", 100'000'000, std::nullopt},
    {0x0bda, 0x8153, "Realtek RTL8153", 1'000'000'000, std::nullopt},
    {0x0bda, 0x8156, "Realtek RTL8156", 2'500'000'000, 1'000'000'000},
    {0x0bda, 0x8157, "Realtek RTL8157", 5'000'000'000, std::nullopt},
    {0x0bda, 0x815a, "Realtek RTL8159", 10'000'000'000, std::nullopt},
    {0x0b95, 0x1780, "ASIX AX88178", 1'000'000'000, std::nullopt},
    {0x0b95, 0x7720, "ASIX AX88772", 100'000'000, std::nullopt},
    {0x0b95, 0x772a, "ASIX AX88772A", 100'000'000, std::nullopt},
    {0x0b95, 0x772b, "ASIX AX88772B", 100'000'000, std::nullopt},
    {0x0b95, 0x7e2b, "ASIX AX88772B", 100'000'000, std::nullopt},
    {0x0b95, 0x1720, "ASIX AX88172", 100'000'000, std::nullopt},
    {0x0b95, 0x2790, "Aquantia AQC111U", 5'000'000'000, std::nullopt},
    {0x0b95, 0x2791, "Aquantia AQC112U", 2'500'000'000, std::nullopt},
    {0x2eca, 0xc101, "Aquantia AQC111U", 5'000'000'000, 2'500'000'000},
    {0x0424, 0x7800, "Microchip LAN7800", 1'000'000'000, std::nullopt},
    {0x0424, 0x7850, "Microchip LAN7850", 1'000'000'000, std::nullopt},
    {0x04b4, 0x3610, "Cypress GX3", 1'000'000'000, std::nullopt},
};

// Devices 0b95:1790, by USB device revision (in place of the product).
const std::vector<Row> revisionRows{
    {0x0b95, 0x0100, "ASIX AX88179", 1'000'000'000, std::nullopt},
    {0x0b95, 0x0200, "ASIX AX88179A", 1'000'000'000, std::nullopt},
    {0x0b95, 0x0300, "ASIX AX88772D", 100'000'000, std::nullopt},
    {0x0b95, 0x0400, "ASIX AX88279", 2'500'000'000, std::nullopt},
};

// Each chip under every device id of its list.
struct PciChip {
    std::uint16_t vendor;
    std::vector<std::uint16_t> devices;
    std::string name;
    std::uint64_t maximum;
    std::optional<std::uint64_t> assured;
};

const std::vector<PciChip> pciChips{
    {0x1d6a, {0x07b1, 0xd107, 0x0001, 0x87b1}, "Aquantia AQC107", 10'000'000'000, {}},
    {0x1d6a, {0x08b1, 0xd108, 0x88b1}, "Aquantia AQC108", 5'000'000'000, {}},
    {0x1d6a, {0x09b1, 0xd109, 0x89b1}, "Aquantia AQC109", 2'500'000'000, {}},
    {0x1d6a, {0x11b1, 0x91b1}, "Aquantia AQC111", 5'000'000'000, {}},
    {0x1d6a, {0x12b1, 0x92b1}, "Aquantia AQC112", 2'500'000'000, {}},
    {0x1d6a, {0x04c0, 0x94c0, 0x14c0, 0x34c0, 0x00c0}, "Aquantia AQC113", 10'000'000'000, {}},
    {0x1d6a, {0x93c0}, "Aquantia AQC114CS", 5'000'000'000, {}},
    {0x1d6a, {0x12c0}, "Aquantia AQC115C", 2'500'000'000, {}},
    {0x1d6a, {0x11c0}, "Aquantia AQC116C", 1'000'000'000, {}},
    {0x14e4, {0x1682}, "Broadcom BCM57762", 1'000'000'000, {}},
    {0x14e4, {0x1686}, "Broadcom BCM57766", 1'000'000'000, {}},
    {0x14e4, {0x16b4}, "Broadcom BCM57765", 1'000'000'000, {}},
    {0x14e4, {0x16b0}, "Broadcom BCM57761", 1'000'000'000, {}},
    {0x14e4, {0x1684}, "Broadcom BCM5764M", 1'000'000'000, {}},
    {0x8086, {0x1528, 0x1560}, "Intel X540", 10'000'000'000, {}},
    {0x8086, {0x1563, 0x15d1}, "Intel X550", 10'000'000'000, {}},
    {0x8086, {0x1533}, "Intel I210", 1'000'000'000, {}},
    {0x8086, {0x15f2, 0x15f3}, "Intel I225", 2'500'000'000, {}},
    {0x8086, {0x125b, 0x125c}, "Intel I226", 2'500'000'000, {}},
    {0x10ec, {0x8125}, "Realtek RTL8125", 2'500'000'000, 1'000'000'000},
    {0x10ec, {0x8126}, "Realtek RTL8126", 5'000'000'000, {}},
    {0x10ec, {0x8127}, "Realtek RTL8127", 10'000'000'000, {}},
};

KnownAdapters::Chip chipOf(const Row& row) {
    return {row.name, row.maximum, row.assured};
}

HardwareIdentity usb(std::uint16_t vendor, std::uint16_t product,
                     std::optional<std::uint16_t> revision = std::nullopt) {
    HardwareIdentity identity;
    identity.bus = HardwareIdentity::Bus::usb;
    identity.usbVendor = vendor;
    identity.usbProduct = product;
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

TEST(KnownAdaptersTest, EveryTableHoldsExactlyItsRows) {
    EXPECT_EQ(KnownAdapters::usbChips().size(), usbRows.size());
    for (const Row& row : usbRows) {
        EXPECT_EQ(KnownAdapters::chip(usb(row.vendor, row.product)), chipOf(row)) << row.name;
    }
    ASSERT_EQ(KnownAdapters::usbRevisionChips().size(), 1u);
    ASSERT_EQ(KnownAdapters::usbRevisionChips().begin()->first, 0x0b951790u);
    EXPECT_EQ(KnownAdapters::usbRevisionChips().begin()->second.size(), revisionRows.size());
    for (const Row& row : revisionRows) {
        EXPECT_EQ(KnownAdapters::chip(usb(0x0b95, 0x1790, row.product)), chipOf(row)) << row.name;
    }
    std::size_t pciKeys = 0;
    for (const PciChip& row : pciChips) {
        for (std::uint16_t device : row.devices) {
            EXPECT_EQ(KnownAdapters::chip(pci(row.vendor, device)),
                      (KnownAdapters::Chip{row.name, row.maximum, row.assured}))
                << row.name;
            ++pciKeys;
        }
    }
    EXPECT_EQ(KnownAdapters::pciChips().size(), pciKeys);
}

TEST(KnownAdaptersTest, RevisionListedDevicesNeverFallBackToThePlainTable) {
    EXPECT_EQ(KnownAdapters::chip(usb(0x0b95, 0x1790, 0x0500)), std::nullopt);
    EXPECT_EQ(KnownAdapters::chip(usb(0x0b95, 0x1790)), std::nullopt);
}

TEST(KnownAdaptersTest, TheBusDecidesTheTable) {
    // A PCI chip's identifiers reported as USB, and the other way round.
    EXPECT_EQ(KnownAdapters::chip(usb(0x8086, 0x1533)), std::nullopt);
    EXPECT_EQ(KnownAdapters::chip(pci(0x0bda, 0x8156)), std::nullopt);
    auto other = pci(0x8086, 0x1533);
    other.bus = HardwareIdentity::Bus::other;
    other.usbVendor = 0x0bda;
    other.usbProduct = 0x8156;
    EXPECT_EQ(KnownAdapters::chip(other), std::nullopt);
    // Identifiers of the other bus are not read.
    auto mixed = pci(0x8086, 0x1533);
    mixed.bus = HardwareIdentity::Bus::usb;
    EXPECT_EQ(KnownAdapters::chip(mixed), std::nullopt);
}

TEST(KnownAdaptersTest, MissingIdentifiersFindNothing) {
    auto noProduct = usb(0x0bda, 0x8156);
    noProduct.usbProduct.reset();
    EXPECT_EQ(KnownAdapters::chip(noProduct), std::nullopt);
    auto noVendor = usb(0x0bda, 0x8156);
    noVendor.usbVendor.reset();
    EXPECT_EQ(KnownAdapters::chip(noVendor), std::nullopt);
    auto noDevice = pci(0x8086, 0x1533);
    noDevice.pciDevice.reset();
    EXPECT_EQ(KnownAdapters::chip(noDevice), std::nullopt);
    auto noPciVendor = pci(0x8086, 0x1533);
    noPciVendor.pciVendor.reset();
    EXPECT_EQ(KnownAdapters::chip(noPciVendor), std::nullopt);
}

}  // namespace
}  // namespace sorvanta
