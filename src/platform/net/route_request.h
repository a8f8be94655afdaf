#pragma once

#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <asio/ip/address.hpp>
#include <functional>

#include "platform/net/netlink_reply.h"

namespace sorvanta {

// One question to the routing table of the calling thread's namespace.
struct RouteRequest {
    nlmsghdr header;
    rtmsg route;
    char attributes[64];
};

// How `destination` is reached, optionally through one interface only.
RouteRequest routeLookupRequest(const asio::ip::address& destination, int outputInterface);

// Every route of one address family (AF_INET, AF_INET6).
RouteRequest routeDumpRequest(unsigned char family);

// A routing socket for one question; -1 (errno set) when none can be opened.
int openRouteSocket();

// Asks `request` on a socket from `open`, closed afterwards, and passes each message of the
// answer to `each`. The answer is read whole however long, and waiting ends after a short
// patience, so a kernel that never answers costs that long and no longer. When the socket's
// queue overflowed, the question is asked once more on a fresh socket (a dump stalled by the
// overflow would keep the old one busy), so `each` may see a message twice.
ReplyEnd askRoutes(RouteRequest request, const std::function<void(const nlmsghdr&)>& each,
                   const std::function<int()>& open = openRouteSocket);

}  // namespace sorvanta
