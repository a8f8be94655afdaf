#pragma once

#include <linux/netlink.h>

#include <chrono>
#include <cstdint>
#include <functional>

namespace sorvanta {

// How reading the reply to one netlink request ended.
enum class ReplyEnd {
    whole,    // every message of it was read: a single one, or all parts up to NLMSG_DONE
    refused,  // the kernel answered with an error
    overrun,  // the socket's queue overflowed (ENOBUFS) and the reply is not all there; the
              // queue has been read empty, so the request may be asked once more
    silent,   // nothing more came within the patience
    failed,   // the socket failed
};

// Sends the request that starts with `request` (nlmsg_len bytes in all) to the kernel; false
// when it did not go out whole.
bool sendRequest(int socket, const nlmsghdr& request);

// Reads the reply to request `sequence` off the netlink socket `socket`: each datagram whole
// whatever its length, replies to other requests passed over. Calls `each` for every message
// of it but the closing NLMSG_DONE or NLMSG_ERROR. Waits at most `patience` for each datagram
// (zero: takes only what is queued already), so a reply that never comes, or never ends,
// costs that long and no longer.
ReplyEnd readReply(int socket, std::uint32_t sequence, std::chrono::milliseconds patience,
                   const std::function<void(const nlmsghdr&)>& each);

}  // namespace sorvanta
