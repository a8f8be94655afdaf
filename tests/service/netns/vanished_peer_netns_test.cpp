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
// becomes the one peer.
TEST(VanishedPeerNetnsTest, KilledCopyIsShownGoneAndAThirdTakesItsPlace) {
    SORVANTA_NETNS_PAIR_OR_SKIP(pair);
    auto a = node(pair->nsA, pair->link.nameA, pair->link.indexA, "Desk", lowID);
    auto b = node(pair->nsB, pair->link.nameB, pair->link.indexB, "Studio", highID);
    ASSERT_TRUE(a->waitFor(readyWith("Studio"), 30)) << a->transcript();
    ASSERT_TRUE(b->waitFor(readyWith("Desk"), 30)) << b->transcript();

    const auto killed = NodeProcess::Clock::now();
    a->signal(SIGKILL);
    a->wait(10);
    const auto gone = b->waitFor(goneAndSearching, 15);
    ASSERT_TRUE(gone) << b->transcript();
    std::cout << "SIGKILL to \"Peer disappeared\": " << Seconds(*gone - killed).count() << " s\n";

    auto c = node(pair->nsA, pair->link.nameA, pair->link.indexA, "Third", thirdID);
    EXPECT_TRUE(b->waitFor(readyWith("Third"), 30)) << b->transcript();
    EXPECT_TRUE(c->waitFor(readyWith("Studio"), 30)) << c->transcript();
    EXPECT_EQ(b->latest().at("peers"), "1");
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
    const auto status = program.wait(10);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status)) << "ended by signal " << WTERMSIG(*status);
    ::rmdir(runtime.c_str());
}

#endif

}  // namespace
}  // namespace sorvanta::testing
