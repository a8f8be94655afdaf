#include "platform/net/link_change_feed.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "platform/net/link_request.h"

namespace sorvanta {

std::unique_ptr<LinkChangeFeed> LinkChangeFeed::open(int index) {
    const int announcements =
        ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (announcements < 0) {
        return nullptr;
    }
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
    const int requests =
        ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (requests < 0 ||
        ::bind(announcements, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        ::close(announcements);
        if (requests >= 0) {
            ::close(requests);
        }
        return nullptr;
    }
    return std::unique_ptr<LinkChangeFeed>(new LinkChangeFeed(index, announcements, requests));
}

LinkChangeFeed::~LinkChangeFeed() {
    ::close(announcements_);
    ::close(requests_);
}

bool LinkChangeFeed::changedSinceLastAsked() {
    // Nothing was watched before the first question: whatever was read earlier may be stale.
    bool changed = !asked_;
    asked_ = true;
    changed |= drainAnnouncements();
    auto link = askLink(requests_, index_, sequence_);
    changed |= !link || link != last_;
    last_ = std::move(link);
    return changed;
}

bool LinkChangeFeed::drainAnnouncements() {
    bool any = false;
    alignas(nlmsghdr) std::array<char, 16384> buffer;
    for (;;) {
        const ssize_t n = ::recv(announcements_, buffer.data(), buffer.size(), 0);
        if (n > 0 || (n < 0 && errno == EINTR)) {
            any |= n > 0;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            // An overrun (ENOBUFS) lost announcements; any other failure leaves us blind.
            // Either way the caller must read again.
            any = true;
            if (errno == ENOBUFS) {
                continue;
            }
        }
        return any;
    }
}

}  // namespace sorvanta
