#include <gtest/gtest.h>

#include <iostream>

#include "service_node.h"

namespace sorvanta::testing {
namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

// Connected to nobody: what the window shows once the peer stopped answering.
bool notConnected(const ServiceSnapshot& s) {
    return s.state != ConnectionState::ready && !s.activePeerName && !s.speed.armed;
}

// One copy's traffic is dropped, every packet both ways, while its link stays up (as with a
// computer that hangs): the other shows it gone within 15 s instead of connected for as long
// as the silence lasts, the silent one sees the same, and once the traffic flows again the
// two find each other anew.
TEST(SilentPeerNetnsTest, PeerThatStopsAnsweringIsShownGoneAndFoundAgain) {
    SORVANTA_NETNS_PAIR_OR_SKIP(pair);
    ServiceNode a(pair->nsA, {{pair->link.nameA, pair->link.indexA}}, "Desk");
    ServiceNode b(pair->nsB, {{pair->link.nameB, pair->link.indexB}}, "Studio");
    a.start();
    b.start();
    ASSERT_TRUE(a.waitFor(readyAndArmed, 30)) << a.snapshot().status;
    ASSERT_TRUE(b.waitFor(readyAndArmed, 30)) << b.snapshot().status;

    const auto silenced = Clock::now();
    pair->lab.silence(pair->nsB);
    ASSERT_TRUE(a.waitFor(notConnected, 15, 50)) << a.snapshot().status;
    const Seconds aGone = Clock::now() - silenced;
    EXPECT_TRUE(b.waitFor(notConnected, 15 - aGone.count(), 50)) << b.snapshot().status;
    const Seconds bGone = Clock::now() - silenced;
    const std::string timedOut = "Connection ended: " + PlatformError::posix(ETIMEDOUT).text();
    EXPECT_TRUE(a.sawStatus(timedOut)) << a.statuses();
    EXPECT_TRUE(b.sawStatus(timedOut)) << b.statuses();
    EXPECT_TRUE(a.logged("Peer not reached; reconfirming its Bonjour records."));

    // Reconfirmed and unanswered, the silent peer leaves the list a doubt window later.
    const bool unlisted = a.waitFor([](const ServiceSnapshot& s) { return s.peers.empty(); },
                                    22 - Seconds(Clock::now() - silenced).count(), 50);
    const Seconds aUnlisted = Clock::now() - silenced;
    EXPECT_TRUE(unlisted);
    EXPECT_FALSE(a.snapshot().speed.armed);

    const auto restored = Clock::now();
    pair->lab.unsilence(pair->nsB);
    EXPECT_TRUE(a.waitFor(readyAndArmed, 30)) << a.snapshot().status;
    EXPECT_TRUE(b.waitFor(readyAndArmed, 30)) << b.snapshot().status;
    const Seconds found = Clock::now() - restored;
    EXPECT_EQ(a.snapshot().activePeerName, "Studio");
    EXPECT_EQ(b.snapshot().activePeerName, "Desk");
    std::cout << "silenced: gone on the other after " << aGone.count()
              << " s, on the silent one after " << bGone.count() << " s, unlisted after "
              << aUnlisted.count() << " s; traffic back: ready again after " << found.count()
              << " s\n";
}

}  // namespace
}  // namespace sorvanta::testing
