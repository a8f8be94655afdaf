#include "platform/dnssd/mdns_interface_driver.h"

#include <gtest/gtest.h>

#include "platform/dnssd/mdns_browser.h"
#include "platform/dnssd/mdns_responder.h"

namespace sorvanta {
namespace {

using namespace std::chrono_literals;
using Instant = std::chrono::steady_clock::time_point;

// The link check is due on the next whole second strictly after the present, for both kinds
// of driver alike: one that fires on the second is due a full second later (never at once
// again), one that fires late keeps to the grid instead of drifting by its lateness.
TEST(MdnsInterfaceDriverTest, LinkChecksFallOnWholeSeconds) {
    struct Case {
        std::chrono::nanoseconds now;
        std::chrono::nanoseconds due;
    };
    const Case cases[] = {
        {0ns, 1s},
        {1ns, 1s},
        {999'999'999ns, 1s},
        {5s, 6s},
        {5s + 1ns, 6s},
        {5s + 40us, 6s},
        {5s + 999ms, 6s},
        {43'210s + 500ms, 43'211s},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.now.count());
        const Instant now{std::chrono::duration_cast<Instant::duration>(c.now)};
        const Instant due{std::chrono::duration_cast<Instant::duration>(c.due)};
        EXPECT_EQ(MdnsInterfaceDriver<MdnsBrowser>::nextLinkCheck(now), due);
        EXPECT_EQ(MdnsInterfaceDriver<MdnsResponder>::nextLinkCheck(now), due);
    }
}

}  // namespace
}  // namespace sorvanta
