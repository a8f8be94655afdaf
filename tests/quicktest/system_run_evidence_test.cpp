#include "quicktest/system_run_evidence.h"

#include <gtest/gtest.h>

#include "lab/fake_system.h"

namespace sorvanta {
namespace {

// Only an admitted adapter lends its profile to the evidence; the link and Low Power
// Mode come from their readers; names the kernel does not know have no index.
TEST(SystemRunEvidence, ReadsThroughItsReaders) {
    auto hardware = std::make_shared<testing::FakeWiredHardwareReader>();
    auto lowPower = std::make_shared<testing::FakeLowPowerSource>();
    hardware->admitPci("pci0", 4, {true, 2'500'000'000, true});
    HardwareIdentity unqualified;
    unqualified.bus = HardwareIdentity::Bus::usb;
    unqualified.usbVendor = 0x1234;
    unqualified.usbProduct = 0x5678;
    hardware->set("usb0", {5, "USB", unqualified, WiredInterface::ConnectionType::usb, {}});
    lowPower->set(true);
    SystemRunEvidence evidence(hardware, lowPower);

    EXPECT_TRUE(evidence.admittedAdapter("pci0"));
    EXPECT_FALSE(evidence.admittedAdapter("usb0"));
    EXPECT_FALSE(evidence.admittedAdapter("missing0"));
    EXPECT_EQ(evidence.link("pci0").rate, 2'500'000'000u);
    EXPECT_TRUE(evidence.lowPowerMode());
    EXPECT_EQ(evidence.interfaceIndex("lo"), 1);
    EXPECT_FALSE(evidence.interfaceIndex("no-such-if0"));
    EXPECT_TRUE(evidence.counters("no-such-if0", 99, 1.5).reason);
}

}  // namespace
}  // namespace sorvanta
