#include "platform/net/netlink_reply.h"

#include <gtest/gtest.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio/ip/address.hpp>
#include <cstring>
#include <functional>
#include <future>
#include <ostream>
#include <vector>

#include "lab/netns_lab.h"
#include "platform/net/route_request.h"

namespace sorvanta {

void PrintTo(ReplyEnd end, std::ostream* out) {
    constexpr const char* names[] = {"whole", "refused", "overrun", "silent", "failed"};
    *out << names[static_cast<int>(end)];
}

namespace {

using namespace std::chrono_literals;

// Messages as the kernel sends them, several to a datagram. Sent from a second socket, they
// stand for replies this kernel cannot be made to send: a dump part beyond 32 KiB, or a reply
// that stops halfway.
struct Datagram {
    std::vector<char> bytes;

    Datagram& add(std::uint16_t type, std::uint16_t flags, std::uint32_t sequence,
                  std::size_t payload) {
        const std::size_t at = bytes.size();
        bytes.resize(at + NLMSG_SPACE(payload));
        nlmsghdr header{};
        header.nlmsg_len = static_cast<std::uint32_t>(NLMSG_LENGTH(payload));
        header.nlmsg_type = type;
        header.nlmsg_flags = flags;
        header.nlmsg_seq = sequence;
        std::memcpy(bytes.data() + at, &header, sizeof header);
        return *this;
    }
    Datagram& routes(int count, std::uint32_t sequence) {
        for (int i = 0; i < count; ++i) {
            add(RTM_NEWROUTE, NLM_F_MULTI, sequence, sizeof(rtmsg) + 24);
        }
        return *this;
    }
    Datagram& done(std::uint32_t sequence) {
        return add(NLMSG_DONE, NLM_F_MULTI, sequence, sizeof(int));
    }
};

// A routing socket that reads, bound so that its port is known before it asks anything, and
// one that sends to it in the kernel's stead, both in one namespace.
struct Sockets {
    int reader = -1, forger = -1;
    std::uint32_t port = 0;

    explicit Sockets(testing::NetnsThread& thread) {
        thread.call([this] {
            reader = openRouteSocket();
            forger = openRouteSocket();
            sockaddr_nl local{};
            local.nl_family = AF_NETLINK;
            socklen_t length = sizeof local;
            ::bind(reader, reinterpret_cast<sockaddr*>(&local), sizeof local);
            ::getsockname(reader, reinterpret_cast<sockaddr*>(&local), &length);
            port = local.nl_pid;
            return 0;
        });
    }
    ~Sockets() {
        ::close(reader);
        ::close(forger);
    }
    Sockets(const Sockets&) = delete;
    Sockets& operator=(const Sockets&) = delete;

    void forge(const Datagram& datagram) const {
        sockaddr_nl to{};
        to.nl_family = AF_NETLINK;
        to.nl_pid = port;
        ASSERT_EQ(::sendto(forger, datagram.bytes.data(), datagram.bytes.size(), 0,
                           reinterpret_cast<sockaddr*>(&to), sizeof to),
                  static_cast<ssize_t>(datagram.bytes.size()));
    }
    void ask(const char* destination, std::uint32_t sequence) const {
        RouteRequest request = routeLookupRequest(asio::ip::make_address(destination), 0);
        request.header.nlmsg_seq = sequence;
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        ::sendto(reader, &request, request.header.nlmsg_len, 0,
                 reinterpret_cast<sockaddr*>(&kernel), sizeof kernel);
    }
};

// Reads on a thread of its own; a reader still waiting after five seconds fails the test and
// is freed by an end sent in the kernel's stead, so that a hang cannot stall the suite.
ReplyEnd readGuarded(const Sockets& sockets, std::uint32_t sequence,
                     std::chrono::milliseconds patience, int& messages) {
    auto reading = std::async(std::launch::async, [&] {
        return readReply(sockets.reader, sequence, patience, [&](const nlmsghdr&) { ++messages; });
    });
    if (reading.wait_for(5s) == std::future_status::timeout) {
        ADD_FAILURE() << "the reader waited for good";
        sockets.forge(Datagram().done(sequence));
    }
    return reading.get();
}

TEST(NetlinkReply, EndsWithTheReplyOrSoonAfterItStopsComing) {
    SORVANTA_NETNS_PAIR_OR_SKIP(pair);
    testing::NetnsThread thread(pair->nsA);
    constexpr std::uint32_t ours = 1000;
    struct Case {
        const char* what;
        std::function<void(const Sockets&)> before;
        ReplyEnd end;
        int messages;
    };
    const Case cases[] = {
        {"a part longer than 32 KiB with the end in it",
         [](const Sockets& s) { s.forge(Datagram().routes(1200, ours).done(ours)); },
         ReplyEnd::whole, 1200},
        {"the kernel's answers to earlier questions, then to ours",
         [](const Sockets& s) {
             for (std::uint32_t sequence = ours - 3; sequence <= ours; ++sequence) {
                 s.ask("169.254.1.1", sequence);
             }
         },
         ReplyEnd::whole, 1},
        {"the kernel's refusal", [](const Sockets& s) { s.ask("192.0.2.1", ours); },
         ReplyEnd::refused, 0},
        {"a reply that stops before its end",
         [](const Sockets& s) { s.forge(Datagram().routes(3, ours)); }, ReplyEnd::silent, 3},
        {"nothing at all", [](const Sockets&) {}, ReplyEnd::silent, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Sockets sockets(thread);
        c.before(sockets);
        int messages = 0;
        EXPECT_EQ(readGuarded(sockets, ours, 100ms, messages), c.end);
        EXPECT_EQ(messages, c.messages);
    }
}

}  // namespace
}  // namespace sorvanta
