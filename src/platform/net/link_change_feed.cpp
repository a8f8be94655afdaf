#include "platform/net/link_change_feed.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace sorvanta {

std::unique_ptr<LinkChangeFeed> LinkChangeFeed::open() {
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (fd < 0) {
        return nullptr;
    }
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<LinkChangeFeed>(new LinkChangeFeed(fd));
}

LinkChangeFeed::~LinkChangeFeed() { ::close(fd_); }

bool LinkChangeFeed::changedSinceLastAsked() {
    // Nothing was watched before the first question: whatever was read earlier may be stale.
    bool changed = !asked_;
    asked_ = true;
    alignas(nlmsghdr) std::array<char, 16384> buffer;
    for (;;) {
        const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
        if (n > 0) {
            changed = true;
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            // An overrun (ENOBUFS) lost announcements; any other failure leaves us blind.
            // Either way the caller must read again.
            changed = true;
            if (errno == ENOBUFS) {
                continue;
            }
        }
        return changed;
    }
}

}  // namespace sorvanta
