#pragma once

#include <asio/ip/udp.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "platform/net/network_executor.h"
#include "support/platform_error.h"

namespace sorvanta {

// One multicast DNS socket: port 5353, one address family, one interface. It shares the
// port with any other responder on the host (SO_REUSEADDR and SO_REUSEPORT), is bound
// to the multicast group so unicast traffic to the port stays with its owner, joins the
// group on its interface only, turns IP_MULTICAST_ALL off and keeps only packets that
// arrived on its interface. It sends to the group with TTL / hop limit 255 and multicast
// loopback on, so programs on this host hear it too.
class MdnsSocket : public std::enable_shared_from_this<MdnsSocket> {
  public:
    enum class Family { ipv4, ipv6 };
    // The bytes are valid only during the call.
    using PacketHandler =
        std::function<void(std::span<const std::uint8_t> packet, const asio::ip::udp::endpoint&)>;

    static std::shared_ptr<MdnsSocket> create(NetworkExecutor executor);
    ~MdnsSocket();

    std::optional<PlatformError> open(Family family, int interfaceIndex);
    // Calls `handler` on the executor for every packet of our interface until close().
    void startReceiving(PacketHandler handler);
    // Sends one datagram to the group at once (non-blocking).
    std::optional<PlatformError> send(std::span<const std::uint8_t> packet);
    // Sends one datagram to one address of this socket's family (a unicast reply), from
    // port 5353 and out of this socket's interface.
    std::optional<PlatformError> sendTo(std::span<const std::uint8_t> packet,
                                        const asio::ip::udp::endpoint& destination);
    void close();

    Family family() const { return family_; }
    int interfaceIndex() const { return interfaceIndex_; }
    // Packets that arrived on another interface and were ignored.
    std::uint64_t foreignPackets() const { return foreignPackets_; }

  private:
    explicit MdnsSocket(NetworkExecutor executor);
    void waitForPackets();
    void drain();

    asio::ip::udp::socket socket_;
    Family family_ = Family::ipv4;
    int interfaceIndex_ = 0;
    PacketHandler handler_;
    std::vector<std::uint8_t> buffer_;
    std::uint64_t foreignPackets_ = 0;
};

}  // namespace sorvanta
