#include "platform/dnssd/mdns_dnssd_browser.h"

#include <gtest/gtest.h>

#include "mdns_simulated_link.h"
#include "platform/dnssd/mdns_responder.h"

// What the system's browser does with the engines of its interfaces on a link change and on a
// reconfirmation, on simulated links in virtual time: fast stand-ins for the namespace
// scenarios of a pulled cable and of a vanished peer.
namespace sorvanta {
namespace {

using namespace std::chrono_literals;
using testing::MdnsSimulatedLink;

const std::string serviceType = "_sorvanta._tcp";

MdnsName type() {
    return MdnsName::fromText(serviceType + ".local");
}

// One interface: a link with a peer advertising "Studio" and this host's engine browsing it,
// for ten minutes already, so that its regular queries have become rare.
struct Interface {
    Interface(int index, std::uint32_t seed)
        : responder(studio(index), seed), browser(type(), seed) {
        peer = link.attach(responder);
        link.attach(browser);
        responder.start(link.now);
        browser.start(link.now);
        link.runFor(600s);
    }
    static MdnsServiceDescription studio(int index) {
        const auto octet = static_cast<std::uint8_t>(index);
        return {"Studio",
                type(),
                40001,
                {"v=9"},
                "studio-" + std::to_string(index),
                {{169, 254, 7, octet}},
                {},
                120,
                4500};
    }
    bool seesPeer() const { return browser.results().size() == 1; }

    MdnsSimulatedLink link;
    MdnsResponder responder;
    MdnsBrowser browser;
    std::size_t peer = 0;
};

// A reconfirmation goes to the engine of the endpoint's interface only: a silent peer there
// goes ten seconds later, while a silent namesake on another interface (another computer)
// stays listed; an endpoint on an interface the browser does not cover reaches nobody.
TEST(MdnsDnssdBrowserTest, ReconfirmationReachesTheEndpointsInterfaceOnly) {
    struct Case {
        int endpointIndex;
        bool covered;
        bool goneOn2, goneOn3;
    };
    const Case cases[] = {{2, true, true, false}, {3, true, false, true}, {7, false, false, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.endpointIndex);
        Interface two(2, 11), three(3, 12);
        ASSERT_TRUE(two.seesPeer() && three.seesPeer());
        two.link.detach(two.peer);
        three.link.detach(three.peer);
        DnssdEndpoint endpoint{
            "Studio",
            serviceType,
            "local",
            NetworkInterface{"eth", c.endpointIndex, InterfaceType::wiredEthernet},
            {}};
        EXPECT_EQ(MdnsDnssdBrowser::reconfirmOn({{2, &two.browser}, {3, &three.browser}},
                                                serviceType, endpoint, two.link.now),
                  c.covered);
        two.link.runFor(10500ms);
        three.link.runFor(10500ms);
        EXPECT_EQ(!two.seesPeer(), c.goneOn2);
        EXPECT_EQ(!three.seesPeer(), c.goneOn3);
    }
}

// Carrier lost: what was heard over the link goes ten seconds later (the peer behind it
// silent), unless the link comes back in time and the peer answers the fresh queries; no
// change, or a change of addresses only, drops nobody.
TEST(MdnsDnssdBrowserTest, CarrierLossDropsWhatWasHeardOverTheLinkUnlessItReturns) {
    struct Case {
        const char* name;
        MdnsTransport::LinkChange change;
        bool returns;
        bool gone;
    };
    const Case cases[] = {
        {"down", {false, true, false}, false, true},
        {"down, then up", {false, true, false}, true, false},
        {"addresses", {false, false, true}, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Interface one(2, 21);
        ASSERT_TRUE(one.seesPeer());
        one.link.detach(one.peer);
        const MdnsTime down = one.link.now;
        MdnsDnssdBrowser::followLink(one.browser, c.change, down);
        if (c.returns) {
            one.link.runFor(3s);
            one.link.reattach(one.peer);
            MdnsDnssdBrowser::followLink(one.browser, {true, false, false}, one.link.now);
        }
        one.link.runUntil(down + 10500ms);
        EXPECT_EQ(!one.seesPeer(), c.gone);
    }
}

}  // namespace
}  // namespace sorvanta
