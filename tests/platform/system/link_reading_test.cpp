#include "platform/system/link_reading.h"

#include <gtest/gtest.h>

#include "lab/fake_system.h"
#include "platform/system/admission_class.h"

namespace sorvanta {
namespace {

constexpr std::uint64_t G = 1'000'000'000;

TEST(LinkReadingTest, DecodesMediaWords) {
    struct Case {
        std::int32_t status, active;
        MediaReading expected;
    };
    const Case cases[] = {
        {0x3, 0x20 | 0x0B | 0x100000, {true, true, G, true}},                  // 1000baseT full
        {0x3, 0x20 | 0x10000 | 0x200000, {true, true, 2'500'000'000, false}},  // half
        {0x1, 0x20 | 0x1000A, {true, false, 10 * G, std::nullopt}},    // up bit without valid
        {0x2, 0x20 | 0x0B, {false, false, G, std::nullopt}},           // not valid: never active
        {0x3, 0x20 | 0x1F, {true, true, std::nullopt, std::nullopt}},  // unknown subtype
        {0x3, 0x20 | 0x0B | 0x300000, {true, true, G, std::nullopt}},  // both duplex bits
        {0x3, 0x80 | 0x0B | 0x100000, {true, true, std::nullopt, std::nullopt}},  // not Ethernet
        {-1, -1, {true, true, std::nullopt, std::nullopt}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decodeMedia(c.status, c.active), c.expected) << std::hex << c.active;
    }
}

TEST(LinkReadingTest, CombinesDeviceStatusWithDriverQuery) {
    const MediaReading up{true, true, G, true};
    const MediaReading upNoRate{true, true, std::nullopt, false};
    const MediaReading down{true, false, std::nullopt, std::nullopt};
    const MediaReading unknown{};
    struct Case {
        std::optional<std::uint32_t> status;
        std::optional<std::uint64_t> speed;
        MediaReading media;
        LinkReading expected;
    };
    const Case cases[] = {
        {std::nullopt, std::nullopt, up, {true, G, true}},
        {0x2, std::nullopt, up, {true, G, true}},        // status without valid bit: query wins
        {0x1, 10 * G, up, {false, {}, {}}},              // valid status down beats the query
        {0x3, 10 * G, upNoRate, {true, 10 * G, false}},  // no query rate: device speed
        {0x3, 0, upNoRate, {true, {}, false}},           // a speed of 0 is no rate
        {0x3, 10 * G, down, {true, 10 * G, {}}},         // query not active: no duplex
        {std::nullopt, 10 * G, down, {false, {}, {}}},
        {std::nullopt, 10 * G, unknown, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(combineLink(c.status, c.speed, c.media), c.expected);
    }
}

TEST(LinkReadingTest, AdmitsPciAndTwoQualifiedUsbPairs) {
    using Bus = HardwareIdentity::Bus;
    auto usb = [](std::optional<std::uint16_t> vendor, std::optional<std::uint16_t> product) {
        HardwareIdentity identity;
        identity.bus = Bus::usb;
        identity.usbVendor = vendor;
        identity.usbProduct = product;
        return identity;
    };
    HardwareIdentity intel;
    intel.bus = Bus::pci;
    intel.pciVendor = 0x8086;
    HardwareIdentity other;
    struct Case {
        HardwareIdentity identity;
        AdmissionClass expected;
    };
    const Case cases[] = {
        {intel, AdmissionClass::pciProvider},
        {usb(0x0BDA, 0x8153), AdmissionClass::qualifiedUSB},
        {usb(0x0B95, 0x1790), AdmissionClass::qualifiedUSB},
        {usb(0x0BDA, 0x8156), AdmissionClass::unqualifiedUSB},
        {usb(0x0B95, 0x8153), AdmissionClass::unqualifiedUSB},
        {usb(0x0BDA, std::nullopt), AdmissionClass::unqualifiedUSB},
        {usb(std::nullopt, 0x8153), AdmissionClass::unqualifiedUSB},
        {other, AdmissionClass::unsupported},
    };
    for (const auto& c : cases) {
        const auto admission = adapterAdmission(c.identity);
        EXPECT_EQ(admission, c.expected);
        EXPECT_EQ(isAdmitted(admission), c.expected == AdmissionClass::pciProvider ||
                                             c.expected == AdmissionClass::qualifiedUSB);
    }
    EXPECT_EQ(admissionDescription(std::nullopt), "Provider metadata unavailable");
    EXPECT_EQ(admissionDescription(HardwareIdentity{}),
              "Not a supported physical Ethernet provider");
}

// The fake the service tests script keeps the real inventory's rules: only admitted
// adapters with an index, in index order.
TEST(LinkReadingTest, FakeInventoryKeepsTheRules) {
    testing::FakeWiredHardwareReader reader;
    reader.admitPci("veth2", 9);
    reader.admitPci("veth1", 7, {false, {}, {}});
    reader.admitPci("veth0", 0);
    HardwareIdentity unqualified;
    unqualified.bus = HardwareIdentity::Bus::usb;
    reader.set("usb0", {3, "USB", unqualified, WiredInterface::ConnectionType::usb, {}});
    const auto inventory = reader.wiredInventory();
    ASSERT_EQ(inventory.size(), 2u);
    EXPECT_EQ(inventory[0].identity, (InterfaceIdentity{"veth1", 7}));
    EXPECT_EQ(inventory[0].linkActive, false);
    EXPECT_EQ(inventory[1].linkSpeed, G);
}

}  // namespace
}  // namespace sorvanta
