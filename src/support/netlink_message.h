#pragma once

#include <linux/netlink.h>

namespace sorvanta {

// NLMSG_OK without its signed/unsigned comparison: `remaining` stays signed so that a
// length pushed below zero by NLMSG_NEXT still ends the walk, and is cast only once it is
// known to be positive.
inline bool netlinkMessageFits(const nlmsghdr* header, int remaining) {
    return remaining >= static_cast<int>(sizeof(nlmsghdr)) &&
           header->nlmsg_len >= sizeof(nlmsghdr) &&
           header->nlmsg_len <= static_cast<unsigned>(remaining);
}

}  // namespace sorvanta
