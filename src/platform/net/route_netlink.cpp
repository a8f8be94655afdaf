#include "platform/net/route_netlink.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <asio/post.hpp>
#include <cerrno>
#include <cstring>

#include "platform/net/route_request.h"

namespace sorvanta {

namespace {

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
    std::optional<RouteLookup> result;
    const auto read = [&](const nlmsghdr& header) {
        if (header.nlmsg_type != RTM_NEWROUTE || header.nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg))) {
            return;
        }
        const auto* route = static_cast<const rtmsg*>(NLMSG_DATA(&header));
        RouteLookup lookup;
        const rtattr* gateway = nullptr;
        int length = static_cast<int>(RTM_PAYLOAD(&header));
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
    };
    if (askRoutes(routeLookupRequest(destination, outputInterface), read) != ReplyEnd::whole) {
        return std::nullopt;
    }
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
    const auto read = [&](const nlmsghdr& header) {
        if (header.nlmsg_type != RTM_NEWROUTE || header.nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg))) {
            return;
        }
        const auto* route = static_cast<const rtmsg*>(NLMSG_DATA(&header));
        std::uint32_t table = route->rtm_table;
        int outputInterface = 0;
        const rtattr* gateway = nullptr;
        const rtattr* multipath = nullptr;
        int length = static_cast<int>(RTM_PAYLOAD(&header));
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
            return;
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
    };
    // What a dump cut short did give is kept: those routers are there all the same.
    for (const unsigned char family : {AF_INET, AF_INET6}) {
        askRoutes(routeDumpRequest(family), read);
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
