#include "platform/net/netlink_reply.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <optional>
#include <vector>

#include "support/netlink_message.h"

namespace sorvanta {

namespace {

// Room for the largest part of a dump the kernel builds (it grows its parts up to the buffer
// the reader offers, and no further than 32 KiB), so that a dump comes in few parts.
constexpr std::size_t usualBuffer = 32768;

// No kernel reply comes near this; a datagram beyond it is passed over unread.
constexpr std::size_t largestDatagram = 1 << 20;

// Takes the next datagram off the socket whole, without waiting: its length is asked for
// first, so a reply is never cut short by the buffer. Returns its length (beyond the buffer
// only past `largestDatagram`), or -1 with errno set.
ssize_t receiveWhole(int socket, std::vector<char>& buffer) {
    for (;;) {
        const ssize_t length = ::recv(socket, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
        if (length < 0 && errno == EINTR) {
            continue;
        }
        if (length < 0) {
            return -1;
        }
        const std::size_t wanted =
            std::clamp<std::size_t>(static_cast<std::size_t>(length), usualBuffer, largestDatagram);
        if (buffer.size() < wanted) {
            buffer.resize(wanted);
        }
        const ssize_t read = ::recv(socket, buffer.data(), buffer.size(), MSG_TRUNC | MSG_DONTWAIT);
        if (read < 0 && errno == EINTR) {
            continue;
        }
        return read;
    }
}

// Waits until the socket has something to read or an error to report; false after `patience`.
bool waitReadable(int socket, std::chrono::milliseconds patience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd watched{socket, POLLIN, 0};
        const int ready =
            ::poll(&watched, 1, static_cast<int>(std::max<long long>(0, left.count())));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        return ready > 0;
    }
}

// Looks through one datagram for messages of the reply to `sequence`; nullopt while the
// reply goes on.
std::optional<ReplyEnd> readParts(const std::vector<char>& datagram, std::size_t length,
                                  std::uint32_t sequence,
                                  const std::function<void(const nlmsghdr&)>& each) {
    int remaining = static_cast<int>(length);
    for (auto* header = reinterpret_cast<const nlmsghdr*>(datagram.data());
         netlinkMessageFits(header, remaining); header = NLMSG_NEXT(header, remaining)) {
        if (header->nlmsg_seq != sequence) {
            continue;  // the reply to an earlier request that was given up
        }
        if (header->nlmsg_type == NLMSG_DONE) {
            return ReplyEnd::whole;
        }
        if (header->nlmsg_type == NLMSG_ERROR) {
            const bool acknowledged = header->nlmsg_len >= NLMSG_LENGTH(sizeof(int)) &&
                                      static_cast<const nlmsgerr*>(NLMSG_DATA(header))->error == 0;
            return acknowledged ? ReplyEnd::whole : ReplyEnd::refused;
        }
        each(*header);
        if ((header->nlmsg_flags & NLM_F_MULTI) == 0) {
            return ReplyEnd::whole;  // a reply of one message
        }
    }
    return std::nullopt;
}

}  // namespace

bool sendRequest(int socket, const nlmsghdr& request) {
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    return ::sendto(socket, &request, request.nlmsg_len, 0,
                    reinterpret_cast<const sockaddr*>(&kernel),
                    sizeof kernel) == static_cast<ssize_t>(request.nlmsg_len);
}

ReplyEnd readReply(int socket, std::uint32_t sequence, std::chrono::milliseconds patience,
                   const std::function<void(const nlmsghdr&)>& each) {
    std::vector<char> buffer;
    bool overran = false;
    for (;;) {
        const ssize_t length = receiveWhole(socket, buffer);
        if (length < 0 && errno == ENOBUFS) {
            // Datagrams were dropped, perhaps ours; the kernel drops every further one until the
            // queue has been read empty, and a dump it could not continue stays stalled.
            overran = true;
            continue;
        }
        if (length < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return ReplyEnd::failed;
        }
        if (length < 0) {
            if (overran) {
                return ReplyEnd::overrun;
            }
            if (!waitReadable(socket, patience)) {
                return ReplyEnd::silent;
            }
            continue;
        }
        if (static_cast<std::size_t>(length) > buffer.size()) {
            continue;  // far beyond any reply: not ours
        }
        if (const auto end = readParts(buffer, static_cast<std::size_t>(length), sequence, each)) {
            return *end;
        }
    }
}

}  // namespace sorvanta
