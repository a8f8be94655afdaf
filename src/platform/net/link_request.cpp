#include "platform/net/link_request.h"

#include <linux/if.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>

#include "platform/net/netlink_reply.h"

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
    return sendRequest(socket, request.header);
}

namespace {

// Reads the facts out of the kernel's description of a link.
std::optional<LinkFacts> linkFactsOf(const nlmsghdr& header) {
    if (header.nlmsg_type != RTM_NEWLINK || header.nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) {
        return std::nullopt;  // not understood
    }
    LinkFacts link;
    const auto* info = static_cast<const ifinfomsg*>(NLMSG_DATA(&header));
    link.flags = info->ifi_flags & (IFF_UP | IFF_LOWER_UP);
    int attributes = static_cast<int>(header.nlmsg_len - NLMSG_LENGTH(sizeof *info));
    for (auto* attribute = IFLA_RTA(info); RTA_OK(attribute, attributes);
         attribute = RTA_NEXT(attribute, attributes)) {
        if (attribute->rta_type == IFLA_IFNAME) {
            const auto* text = static_cast<const char*>(RTA_DATA(attribute));
            link.name.assign(text, ::strnlen(text, RTA_PAYLOAD(attribute)));
        }
    }
    return link;
}

}  // namespace

std::optional<LinkFacts> askLink(int socket, int index, std::uint32_t& sequence) {
    std::optional<LinkFacts> link;
    const auto read = [&](const nlmsghdr& header) { link = linkFactsOf(header); };
    // The kernel answers a link request before the sending call returns, so whatever is not
    // queued by now never comes: nothing here waits.
    constexpr std::chrono::milliseconds noWait{0};
    if (!requestLink(socket, index, ++sequence)) {
        return std::nullopt;
    }
    ReplyEnd end = readReply(socket, sequence, noWait, read);
    if (end == ReplyEnd::overrun) {
        if (!requestLink(socket, index, ++sequence)) {
            return std::nullopt;
        }
        end = readReply(socket, sequence, noWait, read);
    }
    return end == ReplyEnd::whole ? link : std::nullopt;
}

}  // namespace sorvanta
