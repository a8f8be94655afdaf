#include "platform/net/link_request.h"

#include <linux/if.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "support/netlink_message.h"

namespace sorvanta {

bool requestLink(int socket, int index, std::uint32_t sequence) {
    struct {
        nlmsghdr header;
        ifinfomsg link;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = RTM_GETLINK;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.header.nlmsg_seq = sequence;
    request.link.ifi_family = AF_UNSPEC;
    request.link.ifi_index = index;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    return ::sendto(socket, &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&kernel),
                    sizeof kernel) == static_cast<ssize_t>(sizeof request);
}

namespace {

// No answer about one link comes near this; a datagram beyond it is passed over unread.
constexpr std::size_t largestAnswer = 1 << 20;

// Takes the next datagram off the socket whole, without waiting: its length is asked for
// first, so an answer is never cut short by the buffer. Returns its length (beyond the
// buffer only past `largestAnswer`), or -1 with errno set.
ssize_t receiveWhole(int socket, std::vector<char>& buffer) {
    for (;;) {
        const ssize_t length = ::recv(socket, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
        if (length < 0 && errno == EINTR) {
            continue;
        }
        if (length < 0) {
            return -1;
        }
        buffer.resize(std::clamp<std::size_t>(static_cast<std::size_t>(length), 1, largestAnswer));
        const ssize_t read = ::recv(socket, buffer.data(), buffer.size(), MSG_TRUNC | MSG_DONTWAIT);
        if (read < 0 && errno == EINTR) {
            continue;
        }
        return read;
    }
}

enum class Found { nothing, link, gone };

// Looks through one datagram for the answer to `sequence`.
Found findAnswer(const std::vector<char>& datagram, std::size_t length, std::uint32_t sequence,
                 LinkFacts& link) {
    int remaining = static_cast<int>(length);
    for (auto* header = reinterpret_cast<const nlmsghdr*>(datagram.data());
         netlinkMessageFits(header, remaining); header = NLMSG_NEXT(header, remaining)) {
        if (header->nlmsg_seq != sequence) {
            continue;  // the answer to an earlier question that was given up
        }
        if (header->nlmsg_type != RTM_NEWLINK ||
            header->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) {
            return Found::gone;  // gone (an error) or not understood
        }
        const auto* info = static_cast<const ifinfomsg*>(NLMSG_DATA(header));
        link.flags = info->ifi_flags & (IFF_UP | IFF_LOWER_UP);
        int attributes = static_cast<int>(header->nlmsg_len - NLMSG_LENGTH(sizeof *info));
        for (auto* attribute = IFLA_RTA(info); RTA_OK(attribute, attributes);
             attribute = RTA_NEXT(attribute, attributes)) {
            if (attribute->rta_type == IFLA_IFNAME) {
                const auto* text = static_cast<const char*>(RTA_DATA(attribute));
                link.name.assign(text, ::strnlen(text, RTA_PAYLOAD(attribute)));
            }
        }
        return Found::link;
    }
    return Found::nothing;
}

}  // namespace

std::optional<LinkFacts> askLink(int socket, int index, std::uint32_t& sequence) {
    if (!requestLink(socket, index, ++sequence)) {
        return std::nullopt;
    }
    // The kernel answers a link request before the sending call returns, so whatever is not
    // queued by now never comes: nothing here waits.
    std::vector<char> buffer;
    bool overran = false;
    bool askedAgain = false;
    for (;;) {
        const ssize_t length = receiveWhole(socket, buffer);
        if (length < 0 && errno == ENOBUFS) {
            // The queue overflowed and answers were dropped, perhaps this one; the kernel drops
            // every further one until the queue has been read empty.
            overran = true;
            continue;
        }
        if (length < 0) {
            if (errno == EAGAIN && overran && !askedAgain) {
                askedAgain = true;
                overran = false;
                if (requestLink(socket, index, ++sequence)) {
                    continue;
                }
            }
            return std::nullopt;
        }
        if (static_cast<std::size_t>(length) > buffer.size()) {
            continue;  // far beyond an answer about one link: not ours
        }
        LinkFacts link;
        switch (findAnswer(buffer, static_cast<std::size_t>(length), sequence, link)) {
            case Found::link:
                return link;
            case Found::gone:
                return std::nullopt;
            case Found::nothing:
                break;
        }
    }
}

}  // namespace sorvanta
