#include "platform/net/link_request.h"

#include <linux/if.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstring>

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

std::optional<LinkFacts> askLink(int socket, int index, std::uint32_t& sequence) {
    if (!requestLink(socket, index, ++sequence)) {
        return std::nullopt;
    }
    alignas(nlmsghdr) std::array<char, 16384> buffer;
    for (;;) {
        const ssize_t n = ::recv(socket, buffer.data(), buffer.size(), 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return std::nullopt;
        }
        int remaining = static_cast<int>(n);
        for (auto* header = reinterpret_cast<nlmsghdr*>(buffer.data());
             netlinkMessageFits(header, remaining); header = NLMSG_NEXT(header, remaining)) {
            if (header->nlmsg_seq != sequence) {
                continue;  // the answer to an earlier question that was given up
            }
            if (header->nlmsg_type != RTM_NEWLINK ||
                header->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) {
                return std::nullopt;  // gone (an error) or not understood
            }
            const auto* info = static_cast<const ifinfomsg*>(NLMSG_DATA(header));
            LinkFacts link;
            link.flags = info->ifi_flags & (IFF_UP | IFF_LOWER_UP);
            int attributes = static_cast<int>(header->nlmsg_len - NLMSG_LENGTH(sizeof *info));
            for (auto* attribute = IFLA_RTA(info); RTA_OK(attribute, attributes);
                 attribute = RTA_NEXT(attribute, attributes)) {
                if (attribute->rta_type == IFLA_IFNAME) {
                    const auto* text = static_cast<const char*>(RTA_DATA(attribute));
                    link.name.assign(text, ::strnlen(text, RTA_PAYLOAD(attribute)));
                }
            }
            return link;
        }
    }
}

}  // namespace sorvanta
