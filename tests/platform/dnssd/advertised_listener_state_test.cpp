#include "platform/dnssd/advertised_listener_state.h"

#include <gtest/gtest.h>

namespace sorvanta {
namespace {

TEST(AdvertisedListenerStateTest, ReadyOnlyWithBothHalvesAndTheWorseFaultFirst) {
    using L = ListenerState::Kind;
    const PlatformError down = PlatformError::posix(ENETDOWN);
    const PlatformError inUse = PlatformError::posix(EADDRINUSE);
    const PlatformError denied = PlatformError::dnssd(-65570);
    const ListenerState ready{L::ready, {}, 4000};
    const DnssdState advertising{DnssdState::Kind::ready, {}};
    struct Case {
        const char* what;
        ListenerState listener;
        DnssdState advertiser;
        bool registered;
        ListenerState expected;
    };
    const Case cases[] = {
        {"both ready and registered", ready, advertising, true, ready},
        {"not registered yet", ready, advertising, false, {}},
        {"advertiser not started", ready, {}, false, {}},
        {"listener not ready", {}, advertising, true, {}},
        {"no interface to advertise on",
         ready,
         DnssdState::waiting(down),
         true,
         {L::waiting, down, 0}},
        {"mDNS port taken", ready, DnssdState::failed(inUse), true, {L::failed, inUse, 0}},
        {"listener waits, advertiser failed",
         {L::waiting, down, 0},
         DnssdState::failed(denied),
         false,
         {L::failed, denied, 0}},
        {"listener failed, advertiser waits",
         {L::failed, inUse, 0},
         DnssdState::waiting(down),
         false,
         {L::failed, inUse, 0}},
        {"both wait",
         {L::waiting, inUse, 0},
         DnssdState::waiting(down),
         false,
         {L::waiting, inUse, 0}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(advertisedListenerState(c.listener, c.advertiser, c.registered), c.expected)
            << c.what;
    }
}

}  // namespace
}  // namespace sorvanta
