#include "platform/dnssd/advertised_listener_state.h"

#include <gtest/gtest.h>

namespace sorvanta {
namespace {

TEST(AdvertisedListenerStateTest, ReadyOnlyWithBothHalvesAndTheWorseFaultFirst) {
    using L = ListenerState::Kind;
    const PlatformError down = PlatformError::posix(ENETDOWN);
    const PlatformError inUse = PlatformError::posix(EADDRINUSE);
    const ListenerState ready{L::ready, {}, 4000}, setup{};
    const ListenerState waits{L::waiting, down, 0}, fails{L::failed, inUse, 0};
    const DnssdState on{DnssdState::Kind::ready, {}};
    const DnssdState adWaits = DnssdState::waiting(down), adFails = DnssdState::failed(inUse);
    struct Case {
        ListenerState listener;
        DnssdState advertiser;
        bool registered;
        ListenerState expected;
    };
    const Case cases[] = {
        {ready, on, true, ready},       {ready, on, false, setup},
        {setup, on, true, setup},       {ready, adWaits, true, waits},
        {ready, adFails, true, fails},  {waits, adFails, false, fails},
        {fails, adWaits, false, fails}, {waits, adWaits, false, waits},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(advertisedListenerState(c.listener, c.advertiser, c.registered), c.expected)
            << c.listener.text() << " / " << c.advertiser.text() << " / " << c.registered;
    }
}

}  // namespace
}  // namespace sorvanta
