#include "platform/net/link_request.h"

#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <ostream>
#include <string>

#include "lab/netns_lab.h"

namespace sorvanta {

void PrintTo(const LinkFacts& link, std::ostream* out) {
    *out << "flags " << link.flags << " name \"" << link.name << '"';
}

namespace {

using testing::NetnsThread;

// IFF_LOWER_UP: in the kernel's header only, which clashes with the C library's.
constexpr unsigned carrier = 0x10000;

// A routing socket as the link watch opens one, that waits on a receive for at most two
// seconds: a read that would wait for good fails instead of hanging the test.
struct RouteSocket {
    RouteSocket() : fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE)) {
        const timeval bound{2, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    }
    ~RouteSocket() { ::close(fd); }
    RouteSocket(const RouteSocket&) = delete;
    RouteSocket& operator=(const RouteSocket&) = delete;
    int fd;
};

// The kernel's answer about one link is read whole and at once, whatever came before it on
// the socket and however long it is.
TEST(LinkRequest, TheAnswerIsReadWholeAndAtOnce) {
    SORVANTA_NETNS_PAIR_OR_SKIP(pair);
    // Many long alternative names make the answer about that end longer than 16 KiB.
    std::string batch;
    for (int i = 0; i < 130; ++i) {
        char label[8];
        std::snprintf(label, sizeof label, "n%03d", i);
        batch += "link property add dev " + pair->link.nameA + " altname " + label +
                 std::string(123, 'x') + "\n";
    }
    const auto named =
        testing::runCommand("ip -n " + pair->nsA + " -batch - <<'END'\n" + batch + "END\n");
    ASSERT_EQ(named.status, 0) << named.output;
    const LinkFacts upWithCarrier{IFF_UP | carrier, pair->link.nameA};
    const LinkFacts loopback{IFF_UP | carrier, "lo"};
    struct Case {
        const char* what;
        int index;
        int unreadBefore;   // questions asked before and never read
        int receiveBuffer;  // bytes asked for; 0: the default
        std::optional<LinkFacts> expected;
    };
    const Case cases[] = {
        {"an answer longer than 16 KiB", pair->link.indexA, 0, 0, upWithCarrier},
        {"answers to earlier questions still queued", 1, 3, 0, loopback},
        {"answers lost to a full queue (ENOBUFS)", 1, 64, 1, loopback},
        {"a link that is gone", 1'000'000, 0, 0, std::nullopt},
    };
    NetnsThread thread(pair->nsA);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        thread.call([&] {
            RouteSocket socket;
            if (c.receiveBuffer > 0) {
                ::setsockopt(socket.fd, SOL_SOCKET, SO_RCVBUF, &c.receiveBuffer,
                             sizeof c.receiveBuffer);
            }
            std::uint32_t sequence = 0;
            for (int i = 0; i < c.unreadBefore; ++i) {
                EXPECT_TRUE(requestLink(socket.fd, c.index, ++sequence));
            }
            EXPECT_EQ(askLink(socket.fd, c.index, sequence), c.expected);
            // Past every question asked, so that no later answer is taken for an earlier one.
            EXPECT_GT(sequence, static_cast<std::uint32_t>(c.unreadBefore));
            return 0;
        });
    }
}

}  // namespace
}  // namespace sorvanta
