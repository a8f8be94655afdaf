#include "platform/net/route_netlink.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <asio/post.hpp>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "support/netlink_message.h"

namespace sorvanta {

namespace {

class NetlinkSocket {
  public:
    NetlinkSocket() : fd_(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE)) {
        if (fd_ >= 0) {
            // Ask for strict checking so the kernel honours the filters of our requests.
            const int on = 1;
            ::setsockopt(fd_, SOL_NETLINK, NETLINK_GET_STRICT_CHK, &on, sizeof on);
        }
    }
    ~NetlinkSocket() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    NetlinkSocket(const NetlinkSocket&) = delete;
    NetlinkSocket& operator=(const NetlinkSocket&) = delete;

    bool valid() const { return fd_ >= 0; }

    bool send(const void* request, std::size_t length) const {
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        return ::sendto(fd_, request, length, 0, reinterpret_cast<const sockaddr*>(&kernel),
                        sizeof kernel) == static_cast<ssize_t>(length);
    }

    // Calls `each` for every message of the reply until done or error; false on failure.
    template <class Each>
    bool receive(std::uint32_t sequence, Each&& each) const {
        alignas(nlmsghdr) std::array<char, 32768> buffer{};
        for (;;) {
            const ssize_t length = ::recv(fd_, buffer.data(), buffer.size(), 0);
            if (length < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return false;
            }
            int remaining = static_cast<int>(length);
            for (auto* header = reinterpret_cast<nlmsghdr*>(buffer.data());
                 netlinkMessageFits(header, remaining); header = NLMSG_NEXT(header, remaining)) {
                if (header->nlmsg_seq != sequence) {
                    continue;
                }
                if (header->nlmsg_type == NLMSG_DONE) {
                    return true;
                }
                if (header->nlmsg_type == NLMSG_ERROR) {
                    const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(header));
                    return error->error == 0;
                }
                if (!each(header)) {
                    return true;
                }
            }
        }
    }

  private:
    int fd_;
};

std::uint32_t nextSequence() {
    static std::atomic<std::uint32_t> sequence{1};
    return sequence++;
}

struct RouteRequest {
    nlmsghdr header;
    rtmsg route;
    char attributes[64];
};

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

std::optional<asio::ip::address> addressOf(const rtattr* attribute, unsigned char family,
                                           int scope) {
    if (family == AF_INET && RTA_PAYLOAD(attribute) >= 4) {
        asio::ip::address_v4::bytes_type bytes;
        std::memcpy(bytes.data(), RTA_DATA(attribute), 4);
        return asio::ip::address_v4(bytes);
    }
    if (family == AF_INET6 && RTA_PAYLOAD(attribute) >= 16) {
        asio::ip::address_v6::bytes_type bytes;
        std::memcpy(bytes.data(), RTA_DATA(attribute), 16);
        asio::ip::address_v6 address(bytes);
        if (address.is_link_local()) {
            address.scope_id(static_cast<unsigned>(scope));
        }
        return address;
    }
    return std::nullopt;
}

}  // namespace

std::optional<RouteLookup> lookupRoute(const asio::ip::address& destination, int outputInterface) {
    NetlinkSocket socket;
    if (!socket.valid()) {
        return std::nullopt;
    }
    RouteRequest request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
    request.header.nlmsg_type = RTM_GETROUTE;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.header.nlmsg_seq = nextSequence();
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
    if (!socket.send(&request, request.header.nlmsg_len)) {
        return std::nullopt;
    }
    std::optional<RouteLookup> result;
    socket.receive(request.header.nlmsg_seq, [&](const nlmsghdr* header) {
        if (header->nlmsg_type != RTM_NEWROUTE) {
            return true;
        }
        const auto* route = static_cast<const rtmsg*>(NLMSG_DATA(header));
        RouteLookup lookup;
        const rtattr* gateway = nullptr;
        int length = static_cast<int>(RTM_PAYLOAD(header));
        for (auto* attribute = RTM_RTA(route); RTA_OK(attribute, length);
             attribute = RTA_NEXT(attribute, length)) {
            if (attribute->rta_type == RTA_OIF) {
                std::memcpy(&lookup.outputInterface, RTA_DATA(attribute), sizeof(int));
            } else if (attribute->rta_type == RTA_GATEWAY) {
                gateway = attribute;
            }
        }
        if (gateway != nullptr) {
            lookup.gateway = addressOf(gateway, route->rtm_family, lookup.outputInterface);
        }
        result = lookup;
        return false;
    });
    return result;
}

std::vector<asio::ip::address> gatewaysOn(const std::vector<int>& interfaceIndexes) {
    std::vector<asio::ip::address> gateways;
    const auto wanted = [&](int index) {
        return std::find(interfaceIndexes.begin(), interfaceIndexes.end(), index) !=
               interfaceIndexes.end();
    };
    const auto keep = [&](std::optional<asio::ip::address> address) {
        if (address && std::find(gateways.begin(), gateways.end(), *address) == gateways.end()) {
            gateways.push_back(*address);
        }
    };
    for (const unsigned char family : {AF_INET, AF_INET6}) {
        NetlinkSocket socket;
        if (!socket.valid()) {
            break;
        }
        RouteRequest request{};
        request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
        request.header.nlmsg_type = RTM_GETROUTE;
        request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
        request.header.nlmsg_seq = nextSequence();
        request.route.rtm_family = family;
        if (!socket.send(&request, request.header.nlmsg_len)) {
            continue;
        }
        socket.receive(request.header.nlmsg_seq, [&](const nlmsghdr* header) {
            if (header->nlmsg_type != RTM_NEWROUTE) {
                return true;
            }
            const auto* route = static_cast<const rtmsg*>(NLMSG_DATA(header));
            std::uint32_t table = route->rtm_table;
            int outputInterface = 0;
            const rtattr* gateway = nullptr;
            const rtattr* multipath = nullptr;
            int length = static_cast<int>(RTM_PAYLOAD(header));
            for (auto* attribute = RTM_RTA(route); RTA_OK(attribute, length);
                 attribute = RTA_NEXT(attribute, length)) {
                switch (attribute->rta_type) {
                    case RTA_TABLE:
                        std::memcpy(&table, RTA_DATA(attribute), 4);
                        break;
                    case RTA_OIF:
                        std::memcpy(&outputInterface, RTA_DATA(attribute), 4);
                        break;
                    case RTA_GATEWAY:
                        gateway = attribute;
                        break;
                    case RTA_MULTIPATH:
                        multipath = attribute;
                        break;
                    default:
                        break;
                }
            }
            if (table != RT_TABLE_MAIN || route->rtm_type != RTN_UNICAST) {
                return true;
            }
            if (gateway != nullptr && wanted(outputInterface)) {
                keep(addressOf(gateway, route->rtm_family, outputInterface));
            }
            if (multipath != nullptr) {
                int remaining = static_cast<int>(RTA_PAYLOAD(multipath));
                auto* hop = static_cast<rtnexthop*>(RTA_DATA(multipath));
                while (RTNH_OK(hop, remaining)) {
                    int hopLength = hop->rtnh_len - static_cast<int>(sizeof(rtnexthop));
                    for (auto* attribute = RTNH_DATA(hop); RTA_OK(attribute, hopLength);
                         attribute = RTA_NEXT(attribute, hopLength)) {
                        if (attribute->rta_type == RTA_GATEWAY && wanted(hop->rtnh_ifindex)) {
                            keep(addressOf(attribute, route->rtm_family, hop->rtnh_ifindex));
                        }
                    }
                    remaining -= NLMSG_ALIGN(hop->rtnh_len);
                    hop = RTNH_NEXT(hop);
                }
            }
            return true;
        });
    }
    return gateways;
}

std::shared_ptr<RouteWatcher> RouteWatcher::open(NetworkExecutor executor,
                                                 std::function<void()> changed) {
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (fd < 0) {
        return nullptr;
    }
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE |
                      RTMGRP_IPV6_ROUTE;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return nullptr;
    }
    return std::shared_ptr<RouteWatcher>(
        new RouteWatcher(std::move(executor), fd, std::move(changed)));
}

RouteWatcher::RouteWatcher(NetworkExecutor executor, int fd, std::function<void()> changed)
    : descriptor_(std::move(executor), fd), changed_(std::move(changed)) {}

RouteWatcher::~RouteWatcher() = default;

void RouteWatcher::start() {
    asio::post(descriptor_.get_executor(), [self = shared_from_this()] { self->wait(); });
}

void RouteWatcher::cancel() {
    gate_.close();
    asio::post(descriptor_.get_executor(), [self = shared_from_this()] {
        asio::error_code ignored;
        self->descriptor_.close(ignored);
    });
}

void RouteWatcher::wait() {
    if (!gate_.isOpen()) {
        return;
    }
    descriptor_.async_wait(asio::posix::stream_descriptor::wait_read,
                           [self = shared_from_this()](const asio::error_code& error) {
                               if (error || !self->gate_.isOpen()) {
                                   return;
                               }
                               // Drain the burst; the content does not matter, only that
                               // something changed (an overrun, ENOBUFS, counts the same).
                               alignas(nlmsghdr) std::array<char, 16384> buffer;
                               for (;;) {
                                   const ssize_t n = ::recv(self->descriptor_.native_handle(),
                                                            buffer.data(), buffer.size(), 0);
                                   if (n < 0 && errno == EINTR) {
                                       continue;
                                   }
                                   if (n == 0 || (n < 0 && errno != ENOBUFS)) {
                                       break;
                                   }
                               }
                               self->changed_();
                               self->wait();
                           });
}

}  // namespace sorvanta
