#include "platform/net/route_request.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>

#include "lab/netns_lab.h"

namespace sorvanta {
namespace {

void send(int socket, RouteRequest request, std::uint32_t sequence) {
    request.header.nlmsg_seq = sequence;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    ::sendto(socket, &request, request.header.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
             sizeof kernel);
}

// A routing socket whose queue is full of answers nobody read, so that the next answer is
// dropped.
int overflowingSocket(const RouteRequest& question) {
    const int socket = openRouteSocket();
    const int tiny = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &tiny, sizeof tiny);
    for (std::uint32_t i = 0; i < 64; ++i) {
        send(socket, question, 0x80000000u + i);
    }
    return socket;
}

TEST(RouteRequest, AQuestionWhoseAnswerWasDroppedIsAskedOnceMoreOnAFreshSocket) {
    SORVANTA_NETNS_PAIR_OR_SKIP(pair);
    testing::NetnsThread thread(pair->nsA);
    const RouteRequest question = routeLookupRequest(asio::ip::make_address(pair->ipv4B), 0);
    struct Case {
        const char* what;
        int overflowing;  // sockets handed out first whose queue overflows
        ReplyEnd end;
        int answers;
    };
    const Case cases[] = {
        {"a socket that takes the answer", 0, ReplyEnd::whole, 1},
        {"first a socket whose queue overflowed", 1, ReplyEnd::whole, 1},
        {"two such sockets: asked once more only", 2, ReplyEnd::overrun, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        thread.call([&] {
            int opened = 0;
            const auto open = [&] {
                return opened++ < c.overflowing ? overflowingSocket(question) : openRouteSocket();
            };
            int answers = 0;
            const auto count = [&](const nlmsghdr& header) {
                answers += header.nlmsg_type == RTM_NEWROUTE;
            };
            EXPECT_EQ(askRoutes(question, count, open), c.end);
            EXPECT_EQ(answers, c.answers);
            EXPECT_EQ(opened, std::min(c.overflowing + 1, 2));
            return 0;
        });
    }
}

}  // namespace
}  // namespace sorvanta
