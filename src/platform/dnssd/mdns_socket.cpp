#include "platform/dnssd/mdns_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/dnssd/mdns_message.h"

#ifndef IP_MULTICAST_ALL
#define IP_MULTICAST_ALL 49
#endif
#ifndef IPV6_MULTICAST_ALL
#define IPV6_MULTICAST_ALL 29
#endif

namespace sorvanta {

namespace {

constexpr std::uint8_t groupV6[16] = {0xff, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xfb};

std::optional<PlatformError> lastError() {
    return PlatformError::posix(errno);
}

template <class T>
bool setOption(int fd, int level, int name, const T& value) {
    return ::setsockopt(fd, level, name, &value, sizeof value) == 0;
}

}  // namespace

std::shared_ptr<MdnsSocket> MdnsSocket::create(NetworkExecutor executor) {
    return std::shared_ptr<MdnsSocket>(new MdnsSocket(std::move(executor)));
}

MdnsSocket::MdnsSocket(NetworkExecutor executor) : socket_(std::move(executor)) {}

MdnsSocket::~MdnsSocket() {
    close();
}

std::optional<PlatformError> MdnsSocket::open(Family family, int interfaceIndex) {
    family_ = family;
    interfaceIndex_ = interfaceIndex;
    const bool v6 = family == Family::ipv6;
    const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return lastError();
    }
    auto fail = [fd] {
        const int code = errno;
        ::close(fd);
        return PlatformError::posix(code);
    };
    const int one = 1;
    const int zero = 0;
    const int hops = 255;
    if (!setOption(fd, SOL_SOCKET, SO_REUSEADDR, one) ||
        !setOption(fd, SOL_SOCKET, SO_REUSEPORT, one)) {
        return fail();
    }
    if (v6) {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(mdns::port);
        std::memcpy(&address.sin6_addr, groupV6, sizeof groupV6);
        address.sin6_scope_id = static_cast<std::uint32_t>(interfaceIndex);
        ipv6_mreq membership{};
        std::memcpy(&membership.ipv6mr_multiaddr, groupV6, sizeof groupV6);
        membership.ipv6mr_interface = static_cast<unsigned>(interfaceIndex);
        const unsigned index = static_cast<unsigned>(interfaceIndex);
        if (!setOption(fd, IPPROTO_IPV6, IPV6_V6ONLY, one) ||
            !setOption(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, one) ||
            ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            !setOption(fd, IPPROTO_IPV6, IPV6_ADD_MEMBERSHIP, membership) ||
            !setOption(fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, index) ||
            !setOption(fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, hops) ||
            !setOption(fd, IPPROTO_IPV6, IPV6_MULTICAST_LOOP, one)) {
            return fail();
        }
        // Older kernels lack the option; the interface check on receipt still holds.
        setOption(fd, IPPROTO_IPV6, IPV6_MULTICAST_ALL, zero);
    } else {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(mdns::port);
        address.sin_addr.s_addr = htonl(0xE00000FB);  // 224.0.0.251
        ip_mreqn membership{};
        membership.imr_multiaddr = address.sin_addr;
        membership.imr_ifindex = interfaceIndex;
        const unsigned char ttl = 255;
        const unsigned char loop = 1;
        if (!setOption(fd, IPPROTO_IP, IP_PKTINFO, one) ||
            !setOption(fd, IPPROTO_IP, IP_MULTICAST_ALL, zero) ||
            ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            !setOption(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, membership) ||
            !setOption(fd, IPPROTO_IP, IP_MULTICAST_IF, membership) ||
            !setOption(fd, IPPROTO_IP, IP_MULTICAST_TTL, ttl) ||
            !setOption(fd, IPPROTO_IP, IP_MULTICAST_LOOP, loop)) {
            return fail();
        }
    }
    asio::error_code error;
    socket_.assign(v6 ? asio::ip::udp::v6() : asio::ip::udp::v4(), fd, error);
    if (error) {
        ::close(fd);
        return PlatformError::posix(error.value());
    }
    return std::nullopt;
}

void MdnsSocket::startReceiving(PacketHandler handler) {
    handler_ = std::move(handler);
    buffer_.resize(mdns::maxMessageSize + 1);
    waitForPackets();
}

void MdnsSocket::waitForPackets() {
    if (!socket_.is_open()) {
        return;
    }
    socket_.async_wait(asio::socket_base::wait_read,
                       [weak = weak_from_this()](const asio::error_code& error) {
                           auto self = weak.lock();
                           if (!self || error || !self->socket_.is_open()) {
                               return;
                           }
                           self->drain();
                           self->waitForPackets();
                       });
}

void MdnsSocket::drain() {
    const int fd = socket_.native_handle();
    // A bounded number per wake-up, so a flood cannot starve the executor.
    for (int i = 0; i < 64 && socket_.is_open(); ++i) {
        sockaddr_storage source{};
        alignas(cmsghdr) char control[256];
        iovec io{buffer_.data(), buffer_.size()};
        msghdr message{};
        message.msg_name = &source;
        message.msg_namelen = sizeof source;
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t size = ::recvmsg(fd, &message, MSG_DONTWAIT);
        if (size < 0) {
            return;  // EAGAIN, or an error the next wait reports again
        }
        int arrivedOn = -1;
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                in_pktinfo info;
                std::memcpy(&info, CMSG_DATA(c), sizeof info);
                arrivedOn = info.ipi_ifindex;
            } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
                in6_pktinfo info;
                std::memcpy(&info, CMSG_DATA(c), sizeof info);
                arrivedOn = static_cast<int>(info.ipi6_ifindex);
            }
        }
        if (arrivedOn != interfaceIndex_ || (message.msg_flags & MSG_TRUNC) != 0) {
            ++foreignPackets_;
            continue;
        }
        asio::ip::udp::endpoint from;
        if (source.ss_family == AF_INET6) {
            sockaddr_in6 v6;
            std::memcpy(&v6, &source, sizeof v6);
            asio::ip::address_v6::bytes_type bytes;
            std::memcpy(bytes.data(), &v6.sin6_addr, bytes.size());
            from = {asio::ip::address_v6(bytes, v6.sin6_scope_id), ntohs(v6.sin6_port)};
        } else if (source.ss_family == AF_INET) {
            sockaddr_in v4;
            std::memcpy(&v4, &source, sizeof v4);
            from = {asio::ip::address_v4(ntohl(v4.sin_addr.s_addr)), ntohs(v4.sin_port)};
        }
        if (handler_) {
            handler_(std::span<const std::uint8_t>(buffer_.data(), static_cast<std::size_t>(size)),
                     from);
        }
    }
}

std::optional<PlatformError> MdnsSocket::send(std::span<const std::uint8_t> packet) {
    if (family_ == Family::ipv6) {
        asio::ip::address_v6::bytes_type group;
        std::memcpy(group.data(), groupV6, sizeof groupV6);
        return sendTo(packet, {asio::ip::address_v6(group, static_cast<unsigned>(interfaceIndex_)),
                               mdns::port});
    }
    return sendTo(packet, {asio::ip::address_v4(0xE00000FB), mdns::port});  // 224.0.0.251
}

std::optional<PlatformError> MdnsSocket::sendTo(std::span<const std::uint8_t> packet,
                                                const asio::ip::udp::endpoint& destination) {
    if (!socket_.is_open()) {
        return PlatformError::posix(EBADF);
    }
    if (destination.address().is_v6() != (family_ == Family::ipv6)) {
        return PlatformError::posix(EAFNOSUPPORT);
    }
    ssize_t sent = -1;
    if (family_ == Family::ipv6) {
        sockaddr_in6 to{};
        to.sin6_family = AF_INET6;
        to.sin6_port = htons(destination.port());
        const auto address = destination.address().to_v6();
        const auto bytes = address.to_bytes();
        std::memcpy(&to.sin6_addr, bytes.data(), bytes.size());
        // A link-local or multicast destination is reached on our interface only.
        to.sin6_scope_id = static_cast<std::uint32_t>(interfaceIndex_);
        sent = ::sendto(socket_.native_handle(), packet.data(), packet.size(), MSG_DONTWAIT,
                        reinterpret_cast<sockaddr*>(&to), sizeof to);
    } else {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(destination.port());
        to.sin_addr.s_addr = htonl(destination.address().to_v4().to_uint());
        sent = ::sendto(socket_.native_handle(), packet.data(), packet.size(), MSG_DONTWAIT,
                        reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    if (sent < 0) {
        return lastError();
    }
    return std::nullopt;
}

void MdnsSocket::close() {
    // The handler stays: close() may be called from inside it.
    asio::error_code ignored;
    socket_.close(ignored);
}

}  // namespace sorvanta
