#include "protocol/known_adapters.h"

#include <initializer_list>
#include <utility>

namespace sorvanta {
namespace {

constexpr std::uint64_t mbps100 = 100'000'000;
constexpr std::uint64_t gbps1 = 1'000'000'000;
constexpr std::uint64_t gbps2_5 = 2'500'000'000;
constexpr std::uint64_t gbps5 = 5'000'000'000;
constexpr std::uint64_t gbps10 = 10'000'000'000;

KnownAdapters::Chip row(const char* name, std::uint64_t maximum,
                        std::optional<std::uint64_t> assured = std::nullopt) {
    return KnownAdapters::Chip{name, maximum, assured};
}

}  // namespace

const KnownAdapters::Table& KnownAdapters::usbChips() {
    static const Table table = [] {
        Table t;
        t.emplace(key(0x0bda, 0x8152), row("Realtek RTL8152", mbps100));
        t.emplace(key(0x0bda, 0x8050), row("Realtek RTL8152B", mbps100));
        t.emplace(key(0x0bda, 0x8150), row("Realtek RTL8150", mbps100));
        t.emplace(key(0x0bda, 0x8153), row("Realtek RTL8153", gbps1));
        t.emplace(key(0x0bda, 0x8156), row("Realtek RTL8156", gbps2_5, gbps1));
        t.emplace(key(0x0bda, 0x8157), row("Realtek RTL8157", gbps5));
        t.emplace(key(0x0bda, 0x815a), row("Realtek RTL8159", gbps10));
        t.emplace(key(0x0b95, 0x1780), row("ASIX AX88178", gbps1));
        t.emplace(key(0x0b95, 0x7720), row("ASIX AX88772", mbps100));
        t.emplace(key(0x0b95, 0x772a), row("ASIX AX88772A", mbps100));
        t.emplace(key(0x0b95, 0x772b), row("ASIX AX88772B", mbps100));
        t.emplace(key(0x0b95, 0x7e2b), row("ASIX AX88772B", mbps100));
        t.emplace(key(0x0b95, 0x1720), row("ASIX AX88172", mbps100));
        t.emplace(key(0x0b95, 0x2790), row("Aquantia AQC111U", gbps5));
        t.emplace(key(0x0b95, 0x2791), row("Aquantia AQC112U", gbps2_5));
        t.emplace(key(0x2eca, 0xc101), row("Aquantia AQC111U", gbps5, gbps2_5));
        t.emplace(key(0x0424, 0x7800), row("Microchip LAN7800", gbps1));
        t.emplace(key(0x0424, 0x7850), row("Microchip LAN7850", gbps1));
        t.emplace(key(0x04b4, 0x3610), row("Cypress GX3", gbps1));
        return t;
    }();
    return table;
}

const std::unordered_map<std::uint32_t, std::unordered_map<std::uint16_t, KnownAdapters::Chip>>&
KnownAdapters::usbRevisionChips() {
    static const std::unordered_map<std::uint32_t, std::unordered_map<std::uint16_t, Chip>> table{
        {key(0x0b95, 0x1790),
         {
             {0x0100, row("ASIX AX88179", gbps1)},
             {0x0200, row("ASIX AX88179A", gbps1)},
             {0x0300, row("ASIX AX88772D", mbps100)},
             {0x0400, row("ASIX AX88279", gbps2_5)},
         }},
    };
    return table;
}

const KnownAdapters::Table& KnownAdapters::pciChips() {
    static const Table table = [] {
        Table t;
        // A later identical key replaces the earlier entry.
        auto add = [&t](std::uint16_t vendor, std::initializer_list<std::uint16_t> devices,
                        const Chip& row) {
            for (std::uint16_t device : devices) {
                t.insert_or_assign(key(vendor, device), row);
            }
        };
        add(0x1d6a, {0x07b1, 0xd107, 0x0001, 0x87b1}, row("Aquantia AQC107", gbps10));
        add(0x1d6a, {0x08b1, 0xd108, 0x88b1}, row("Aquantia AQC108", gbps5));
        add(0x1d6a, {0x09b1, 0xd109, 0x89b1}, row("Aquantia AQC109", gbps2_5));
        add(0x1d6a, {0x11b1, 0x91b1}, row("Aquantia AQC111", gbps5));
        add(0x1d6a, {0x12b1, 0x92b1}, row("Aquantia AQC112", gbps2_5));
        add(0x1d6a, {0x04c0, 0x94c0, 0x14c0, 0x34c0, 0x00c0}, row("Aquantia AQC113", gbps10));
        add(0x1d6a, {0x93c0}, row("Aquantia AQC114CS", gbps5));
        add(0x1d6a, {0x12c0}, row("Aquantia AQC115C", gbps2_5));
        add(0x1d6a, {0x11c0}, row("Aquantia AQC116C", gbps1));
        add(0x14e4, {0x1682}, row("Broadcom BCM57762", gbps1));
        add(0x14e4, {0x1686}, row("Broadcom BCM57766", gbps1));
        add(0x14e4, {0x16b4}, row("Broadcom BCM57765", gbps1));
        add(0x14e4, {0x16b0}, row("Broadcom BCM57761", gbps1));
        add(0x14e4, {0x1684}, row("Broadcom BCM5764M", gbps1));
        add(0x8086, {0x1528, 0x1560}, row("Intel X540", gbps10));
        add(0x8086, {0x1563, 0x15d1}, row("Intel X550", gbps10));
        add(0x8086, {0x1533}, row("Intel I210", gbps1));
        add(0x8086, {0x15f2, 0x15f3}, row("Intel I225", gbps2_5));
        add(0x8086, {0x125b, 0x125c}, row("Intel I226", gbps2_5));
        add(0x10ec, {0x8125}, row("Realtek RTL8125", gbps2_5, gbps1));
        add(0x10ec, {0x8126}, row("Realtek RTL8126", gbps5));
        add(0x10ec, {0x8127}, row("Realtek RTL8127", gbps10));
        return t;
    }();
    return table;
}

std::optional<KnownAdapters::Chip> KnownAdapters::chip(const HardwareIdentity& identity) {
    switch (identity.bus) {
        case HardwareIdentity::Bus::usb: {
            if (!identity.usbVendor || !identity.usbProduct) {
                return std::nullopt;
            }
            const std::uint32_t k = key(*identity.usbVendor, *identity.usbProduct);
            // A device listed by revision is never looked up in the plain table.
            if (auto byRevision = usbRevisionChips().find(k);
                byRevision != usbRevisionChips().end()) {
                if (!identity.usbRevision) {
                    return std::nullopt;
                }
                auto row = byRevision->second.find(*identity.usbRevision);
                if (row == byRevision->second.end()) {
                    return std::nullopt;
                }
                return row->second;
            }
            auto row = usbChips().find(k);
            if (row == usbChips().end()) {
                return std::nullopt;
            }
            return row->second;
        }
        case HardwareIdentity::Bus::pci: {
            if (!identity.pciVendor || !identity.pciDevice) {
                return std::nullopt;
            }
            auto row = pciChips().find(key(*identity.pciVendor, *identity.pciDevice));
            if (row == pciChips().end()) {
                return std::nullopt;
            }
            return row->second;
        }
        case HardwareIdentity::Bus::other:
            break;
    }
    return std::nullopt;
}

}  // namespace sorvanta
