#include "platform/net/route_request.h"

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>

namespace sorvanta {

namespace {

// The kernel answers while the question is being sent, and hands out each further part of a
// dump while the previous one is read, so a reply that is not there by then is not coming.
constexpr std::chrono::milliseconds patience{500};

std::uint32_t nextSequence() {
    static std::atomic<std::uint32_t> sequence{1};
    return sequence++;
}

void addAttribute(RouteRequest& request, unsigned short type, const void* data,
                  std::size_t length) {
    nlmsghdr* header = &request.header;
    const std::size_t offset = NLMSG_ALIGN(header->nlmsg_len);
    const std::size_t fixed = offsetof(RouteRequest, attributes);
    if (offset < fixed || offset + RTA_SPACE(length) > sizeof(RouteRequest)) {
        return;
    }
    auto* attribute = reinterpret_cast<rtattr*>(request.attributes + (offset - fixed));
    attribute->rta_type = type;
    attribute->rta_len = static_cast<unsigned short>(RTA_LENGTH(length));
    std::memcpy(RTA_DATA(attribute), data, length);
    header->nlmsg_len = static_cast<std::uint32_t>(offset + RTA_SPACE(length));
}

}  // namespace

RouteRequest routeLookupRequest(const asio::ip::address& destination, int outputInterface) {
    RouteRequest request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
    request.header.nlmsg_type = RTM_GETROUTE;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    if (destination.is_v4()) {
        request.route.rtm_family = AF_INET;
        request.route.rtm_dst_len = 32;
        const auto bytes = destination.to_v4().to_bytes();
        addAttribute(request, RTA_DST, bytes.data(), bytes.size());
    } else {
        request.route.rtm_family = AF_INET6;
        request.route.rtm_dst_len = 128;
        const auto v6 = destination.to_v6();
        const auto bytes = v6.to_bytes();
        addAttribute(request, RTA_DST, bytes.data(), bytes.size());
        if (outputInterface == 0 && v6.scope_id() != 0) {
            outputInterface = static_cast<int>(v6.scope_id());
        }
    }
    if (outputInterface != 0) {
        const std::uint32_t index = static_cast<std::uint32_t>(outputInterface);
        addAttribute(request, RTA_OIF, &index, sizeof index);
    }
    return request;
}

RouteRequest routeDumpRequest(unsigned char family) {
    RouteRequest request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
    request.header.nlmsg_type = RTM_GETROUTE;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.route.rtm_family = family;
    return request;
}

int openRouteSocket() {
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd >= 0) {
        // Ask for strict checking so the kernel honours the filters of our requests.
        const int on = 1;
        ::setsockopt(fd, SOL_NETLINK, NETLINK_GET_STRICT_CHK, &on, sizeof on);
    }
    return fd;
}

ReplyEnd askRoutes(RouteRequest request, const std::function<void(const nlmsghdr&)>& each,
                   const std::function<int()>& open) {
    ReplyEnd end = ReplyEnd::failed;
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int socket = open();
        if (socket < 0) {
            return ReplyEnd::failed;
        }
        request.header.nlmsg_seq = nextSequence();
        end = sendRequest(socket, request.header) ? readReply(socket, request.header.nlmsg_seq, patience, each)
                                    : ReplyEnd::failed;
        ::close(socket);
        if (end != ReplyEnd::overrun) {
            break;
        }
    }
    return end;
}

}  // namespace sorvanta
