#include "platform/net/link_change_feed.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "lab/netns_lab.h"
#include "platform/dnssd/mdns_transport.h"

namespace sorvanta {
namespace {

using testing::NetnsPair;
using testing::NetnsThread;

// Each change the mDNS link watch must notice, made on a connected pair, is noticed at the
// first question after it: the watch reads the interface only when the feed says something
// changed, so a change the feed misses, or notices late, is a lost carrier or address
// nobody hears of in time.
TEST(LinkChangeFeed, EveryChangeOfLinkOrAddressIsNoticedAndQuietIsQuiet) {
    SORVANTA_NETNS_PAIR_OR_SKIP(pair);
    NetnsThread thread(pair->nsA);
    const std::string a = pair->link.nameA, b = pair->link.nameB;
    struct Change {
        const char* what;
        bool onPeer;  // made in the other namespace (the cable's far end)
        std::string command;
        bool wentDown, cameUp;
        // Absent where the kernel decides: a link taken down loses its IPv6 addresses.
        std::optional<bool> addressesChanged;
    };
    const Change changes[] = {
        {"far end down: carrier lost", true, "link set dev " + b + " down", true, false, false},
        {"far end up: carrier back", true, "link set dev " + b + " up", false, true, false},
        {"address added", false, "addr add 169.254.77.9/16 dev " + a, false, false, true},
        {"address removed", false, "addr del 169.254.77.9/16 dev " + a, false, false, true},
        {"own link down", false, "link set dev " + a + " down", true, false, std::nullopt},
        {"own link up", false, "link set dev " + a + " up", false, true, std::nullopt},
    };
    auto [feed, transport] = thread.call([&] {
        auto interface = findInterface(pair->link.indexA);
        PlatformError error;
        return std::make_pair(LinkChangeFeed::open(pair->link.indexA),
                              MdnsTransport::open(thread.executor(), *interface, error));
    });
    ASSERT_TRUE(feed);
    ASSERT_TRUE(transport);
    // Announcements of the pair's own set-up may still be on their way; once they are
    // through, a quiet link must read as unchanged.
    auto settles = [&] {
        for (int i = 0; i < 100; ++i) {
            if (!thread.call([&] { return feed->changedSinceLastAsked(); })) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    };
    EXPECT_TRUE(thread.call([&] { return feed->changedSinceLastAsked(); }))
        << "the first question reads";
    EXPECT_TRUE(settles());
    thread.call([&] { return transport->refreshInterface(); });
    for (const auto& change : changes) {
        SCOPED_TRACE(change.what);
        pair->lab.ip(change.onPeer ? pair->nsB : pair->nsA, change.command);
        thread.call([&] {
            EXPECT_TRUE(feed->changedSinceLastAsked());
            const auto seen = transport->refreshInterface();
            EXPECT_EQ(seen.wentDown, change.wentDown);
            EXPECT_EQ(seen.cameUp, change.cameUp);
            if (change.addressesChanged) {
                EXPECT_EQ(seen.addressesChanged, *change.addressesChanged);
            }
            const auto again = transport->refreshInterface();
            EXPECT_FALSE(again.wentDown || again.cameUp || again.addressesChanged);
            return 0;
        });
        EXPECT_TRUE(settles());
    }
    thread.call([&] {
        transport->close();
        return 0;
    });
}

}  // namespace
}  // namespace sorvanta
