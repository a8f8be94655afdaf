#include "protocol/known_adapters.h"

#include <gtest/gtest.h>

#include <vector>

namespace sorvanta {
namespace {

using Chip = KnownAdapters::Chip;
constexpr std::uint64_t M = 1'000'000;
constexpr std::optional<std::uint64_t> same = std::nullopt;  // the maximum

// The tables as listed: vendor, product (USB), revision (0b95:1790) or device ids (PCI).
struct Row {
    std::uint16_t vendor;
    std::vector<std::uint16_t> ids;
    Chip chip;
};

const std::vector<Row> usbRows{
    {0x0bda, {0x8152}, {"Realtek RTL8152", 100 * M, same}},
    {0x0bda, {0x8050}, {"Realtek RTL8152B", 100 * M, same}},
    {0x0bda, {0x8150}, {"Realtek RTL8150", 100 * M, same}},
    {0x0bda, {0x8153}, {"Realtek RTL8153", 1000 * M, same}},
    {0x0bda, {0x8156}, {"Realtek RTL8156", 2500 * M, 1000 * M}},
    {0x0bda, {0x8157}, {"Realtek RTL8157", 5000 * M, same}},
    {0x0bda, {0x815a}, {"Realtek RTL8159", 10000 * M, same}},
    {0x0b95, {0x1780}, {"ASIX AX88178", 1000 * M, same}},
    {0x0b95, {0x7720}, {"ASIX AX88772", 100 * M, same}},
    {0x0b95, {0x772a}, {"ASIX AX88772A", 100 * M, same}},
    {0x0b95, {0x772b, 0x7e2b}, {"ASIX AX88772B", 100 * M, same}},
    {0x0b95, {0x1720}, {"ASIX AX88172", 100 * M, same}},
    {0x0b95, {0x2790}, {"Aquantia AQC111U", 5000 * M, same}},
    {0x0b95, {0x2791}, {"Aquantia AQC112U", 2500 * M, same}},
    {0x2eca, {0xc101}, {"Aquantia AQC111U", 5000 * M, 2500 * M}},
    {0x0424, {0x7800}, {"Microchip LAN7800", 1000 * M, same}},
    {0x0424, {0x7850}, {"Microchip LAN7850", 1000 * M, same}},
    {0x04b4, {0x3610}, {"Cypress GX3", 1000 * M, same}},
};

const std::vector<Row> revisionRows{
    {0x0b95, {0x0100}, {"ASIX AX88179", 1000 * M, same}},
    {0x0b95, {0x0200}, {"ASIX AX88179A", 1000 * M, same}},
    {0x0b95, {0x0300}, {"ASIX AX88772D", 100 * M, same}},
    {0x0b95, {0x0400}, {"ASIX AX88279", 2500 * M, same}},
};

const std::vector<Row> pciRows{
    {0x1d6a, {0x07b1, 0xd107, 0x0001, 0x87b1}, {"Aquantia AQC107", 10000 * M, same}},
    {0x1d6a, {0x08b1, 0xd108, 0x88b1}, {"Aquantia AQC108", 5000 * M, same}},
    {0x1d6a, {0x09b1, 0xd109, 0x89b1}, {"Aquantia AQC109", 2500 * M, same}},
    {0x1d6a, {0x11b1, 0x91b1}, {"Aquantia AQC111", 5000 * M, same}},
    {0x1d6a, {0x12b1, 0x92b1}, {"Aquantia AQC112", 2500 * M, same}},
    {0x1d6a, {0x04c0, 0x94c0, 0x14c0, 0x34c0, 0x00c0}, {"Aquantia AQC113", 10000 * M, same}},
    {0x1d6a, {0x93c0}, {"Aquantia AQC114CS", 5000 * M, same}},
    {0x1d6a, {0x12c0}, {"Aquantia AQC115C", 2500 * M, same}},
    {0x1d6a, {0x11c0}, {"Aquantia AQC116C", 1000 * M, same}},
    {0x14e4, {0x1682}, {"Broadcom BCM57762", 1000 * M, same}},
    {0x14e4, {0x1686}, {"Broadcom BCM57766", 1000 * M, same}},
    {0x14e4, {0x16b4}, {"Broadcom BCM57765", 1000 * M, same}},
    {0x14e4, {0x16b0}, {"Broadcom BCM57761", 1000 * M, same}},
    {0x14e4, {0x1684}, {"Broadcom BCM5764M", 1000 * M, same}},
    {0x8086, {0x1528, 0x1560}, {"Intel X540", 10000 * M, same}},
    {0x8086, {0x1563, 0x15d1}, {"Intel X550", 10000 * M, same}},
    {0x8086, {0x1533}, {"Intel I210", 1000 * M, same}},
    {0x8086, {0x15f2, 0x15f3}, {"Intel I225", 2500 * M, same}},
    {0x8086, {0x125b, 0x125c}, {"Intel I226", 2500 * M, same}},
    {0x10ec, {0x8125}, {"Realtek RTL8125", 2500 * M, 1000 * M}},
    {0x10ec, {0x8126}, {"Realtek RTL8126", 5000 * M, same}},
    {0x10ec, {0x8127}, {"Realtek RTL8127", 10000 * M, same}},
};

HardwareIdentity usb(std::optional<std::uint16_t> vendor, std::optional<std::uint16_t> product,
                     std::optional<std::uint16_t> revision = std::nullopt) {
    HardwareIdentity identity;
    identity.bus = HardwareIdentity::Bus::usb;
    identity.usbVendor = vendor;
    identity.usbProduct = product;
    identity.usbRevision = revision;
    return identity;
}

HardwareIdentity pci(std::optional<std::uint16_t> vendor, std::optional<std::uint16_t> device) {
    HardwareIdentity identity;
    identity.bus = HardwareIdentity::Bus::pci;
    identity.pciVendor = vendor;
    identity.pciDevice = device;
    return identity;
}

// Every row is found under each of its keys, and the table holds nothing else.
template <class Lookup>
void expectTable(const std::vector<Row>& rows, std::size_t tableSize, Lookup lookup) {
    std::size_t keys = 0;
    for (const Row& row : rows) {
        for (std::uint16_t id : row.ids) {
            EXPECT_EQ(KnownAdapters::chip(lookup(row.vendor, id)), row.chip) << row.chip.name;
            ++keys;
        }
    }
    EXPECT_EQ(tableSize, keys);
}

TEST(KnownAdaptersTest, EveryTableHoldsExactlyItsRows) {
    expectTable(usbRows, KnownAdapters::usbChips().size(),
                [](std::uint16_t vendor, std::uint16_t product) { return usb(vendor, product); });
    ASSERT_EQ(KnownAdapters::usbRevisionChips().size(), 1u);
    expectTable(
        revisionRows, KnownAdapters::usbRevisionChips().at(0x0b951790).size(),
        [](std::uint16_t vendor, std::uint16_t revision) { return usb(vendor, 0x1790, revision); });
    expectTable(pciRows, KnownAdapters::pciChips().size(),
                [](std::uint16_t vendor, std::uint16_t device) { return pci(vendor, device); });
}

TEST(KnownAdaptersTest, LookupRules) {
    // A device listed by revision never falls back to the plain table.
    EXPECT_EQ(KnownAdapters::chip(usb(0x0b95, 0x1790, 0x0500)), std::nullopt);
    EXPECT_EQ(KnownAdapters::chip(usb(0x0b95, 0x1790)), std::nullopt);
    // The bus decides the table, and only its own identifiers are read.
    EXPECT_EQ(KnownAdapters::chip(usb(0x8086, 0x1533)), std::nullopt);
    EXPECT_EQ(KnownAdapters::chip(pci(0x0bda, 0x8156)), std::nullopt);
    auto other = usb(0x0bda, 0x8156);
    other.bus = HardwareIdentity::Bus::other;
    EXPECT_EQ(KnownAdapters::chip(other), std::nullopt);
    auto mixed = pci(0x8086, 0x1533);
    mixed.bus = HardwareIdentity::Bus::usb;
    EXPECT_EQ(KnownAdapters::chip(mixed), std::nullopt);
    for (const auto& missing : {usb(0x0bda, std::nullopt), usb(std::nullopt, 0x8156),
                                pci(0x8086, std::nullopt), pci(std::nullopt, 0x1533)}) {
        EXPECT_EQ(KnownAdapters::chip(missing), std::nullopt);
    }
}

}  // namespace
}  // namespace sorvanta
