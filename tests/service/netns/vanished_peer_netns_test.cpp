#include <gtest/gtest.h>
#include <sys/stat.h>

#include "lab/netns_lab.h"
#include "lab/node_process.h"

namespace sorvanta::testing {
namespace {

#ifdef SORVANTA_PEER_NODE

using View = NodeProcess::View;
using Seconds = std::chrono::duration<double>;

const std::string disappeared = "Peer disappeared. Looking for the Ethernet connection\u2026";
// The copy that dials (its identifier sorts first), the one that waits, and a third.
const std::string lowID = "11111111-1111-4111-8111-111111111111";
const std::string highID = "99999999-9999-4999-8999-999999999999";
const std::string thirdID = "AAAAAAAA-AAAA-4AAA-8AAA-AAAAAAAAAAAA";

std::unique_ptr<NodeProcess> node(const std::string& ns, const std::string& device, int index,
                                  const std::string& name, const std::string& id) {
    return std::make_unique<NodeProcess>(
        SORVANTA_PEER_NODE, std::vector<std::string>{ns, device, std::to_string(index), name, id});
}

// Connected to `name`, and seeing it (and only it) advertised.
auto readyWith(const std::string& name) {
    return [name](const View& v) {
        return v.at("state") == "ready" && v.at("active") == name && v.at("peers") == "1";
    };
}

bool goneAndSearching(const View& v) {
    return v.at("status") == disappeared && v.at("state") == "searching" && v.at("peers") == "0";
}

// The other copy is killed without a chance to say goodbye: its peer reconfirms it and shows
// it gone within seconds, not when its records' TTL ends; a third copy plugged in its place
// becomes the one peer. Either copy may be the one that goes: the one that dials, or the one
// that waits (which then keeps dialling a peer that is no longer there until it is gone).
TEST(VanishedPeerNetnsTest, KilledCopyIsShownGoneAndAThirdTakesItsPlace) {
    for (bool killDialler : {true, false}) {
        SORVANTA_NETNS_PAIR_OR_SKIP(pair);
        auto a = node(pair->nsA, pair->link.nameA, pair->link.indexA, "Desk", lowID);
        auto b = node(pair->nsB, pair->link.nameB, pair->link.indexB, "Studio", highID);
        ASSERT_TRUE(a->waitFor(readyWith("Studio"), 30)) << a->transcript();
        ASSERT_TRUE(b->waitFor(readyWith("Desk"), 30)) << b->transcript();
        auto& killed = killDialler ? a : b;
        auto& survivor = killDialler ? b : a;
        const std::string& ns = killDialler ? pair->nsA : pair->nsB;
        const std::string& device = killDialler ? pair->link.nameA : pair->link.nameB;
        const int index = killDialler ? pair->link.indexA : pair->link.indexB;
        const std::string survivorName = killDialler ? "Studio" : "Desk";

        const auto at = NodeProcess::Clock::now();
        killed->signal(SIGKILL);
        killed->wait(10);
        const auto gone = survivor->waitFor(goneAndSearching, 15);
        ASSERT_TRUE(gone) << killDialler << "\n" << survivor->transcript();
        std::cout << "SIGKILL to the " << (killDialler ? "dialling" : "waiting")
                  << " copy, \"Peer disappeared\" on the other: " << Seconds(*gone - at).count()
                  << " s\n";

        auto c = node(ns, device, index, "Third", thirdID);
        EXPECT_TRUE(survivor->waitFor(readyWith("Third"), 30)) << survivor->transcript();
        EXPECT_TRUE(c->waitFor(readyWith(survivorName), 30)) << c->transcript();
        EXPECT_EQ(survivor->latest().at("peers"), "1");
    }
}

// SIGTERM and SIGINT quit as the program's Quit does: the goodbyes go out, so the peer shows
// the copy gone at once, long before a reconfirmation would have.
TEST(VanishedPeerNetnsTest, TerminationSignalsQuitWithAGoodbye) {
    SORVANTA_NETNS_PAIR_OR_SKIP(pair);
    for (int number : {SIGTERM, SIGINT}) {
        auto a = node(pair->nsA, pair->link.nameA, pair->link.indexA, "Desk", lowID);
        auto b = node(pair->nsB, pair->link.nameB, pair->link.indexB, "Studio", highID);
        ASSERT_TRUE(a->waitFor(readyWith("Studio"), 30)) << a->transcript();
        ASSERT_TRUE(b->waitFor(readyWith("Desk"), 30)) << b->transcript();
        const auto signalled = NodeProcess::Clock::now();
        a->signal(number);
        const auto status = a->wait(10);
        ASSERT_TRUE(status) << number;
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << number;
        EXPECT_TRUE(a->printed("exited")) << number;
        const auto gone = b->waitFor(goneAndSearching, 5);
        ASSERT_TRUE(gone) << number << "\n" << b->transcript();
        EXPECT_LT(Seconds(*gone - signalled).count(), 4.0) << number;
        std::cout << "signal " << number
                  << " to \"Peer disappeared\" on the other: " << Seconds(*gone - signalled).count()
                  << " s\n";
        // The next round starts without this copy's records on the link.
        b->signal(SIGTERM);
        b->wait(10);
    }
}

#endif

#ifdef SORVANTA_PROGRAM_UNDER_TEST

// The desktop program itself (on Qt's offscreen platform, its wired adapter the veth end)
// quits on SIGTERM through Quit Sorvanta: its goodbye reaches the other copy at once, and it
// ends by itself rather than by the signal.
TEST(VanishedPeerNetnsTest, TheProgramQuitsOnSigtermWithAGoodbye) {
    SORVANTA_NETNS_PAIR_OR_SKIP(pair);
    const std::string runtime =
        ::testing::TempDir() + "sorvanta-runtime-" + std::to_string(::getpid());
    ::mkdir(runtime.c_str(), 0700);
    NodeProcess program("/usr/bin/env",
                        {"ip", "netns", "exec", pair->nsA, "env", "QT_QPA_PLATFORM=offscreen",
                         "XDG_RUNTIME_DIR=" + runtime, "SORVANTA_WIRED_ADAPTER=" + pair->link.nameA,
                         SORVANTA_PROGRAM_UNDER_TEST});
    auto b = node(pair->nsB, pair->link.nameB, pair->link.indexB, "Studio", highID);
    auto readyWithOne = [](const View& v) {
        return v.at("state") == "ready" && v.at("peers") == "1";
    };
    ASSERT_TRUE(b->waitFor(readyWithOne, 40)) << b->transcript();
    const auto signalled = NodeProcess::Clock::now();
    program.signal(SIGTERM);
    const auto gone = b->waitFor(goneAndSearching, 5);
    ASSERT_TRUE(gone) << b->transcript();
    EXPECT_LT(Seconds(*gone - signalled).count(), 4.0);
    std::cout << "SIGTERM to the program, \"Peer disappeared\" on the other: "
              << Seconds(*gone - signalled).count() << " s\n";
    const auto status = program.wait(10);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status)) << "ended by signal " << WTERMSIG(*status);
    ::rmdir(runtime.c_str());
}

#endif

}  // namespace
}  // namespace sorvanta::testing
