#pragma once

#include <asio/ip/udp.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/dnssd/mdns_message.h"
#include "platform/dnssd/mdns_socket.h"
#include "platform/net/link_change_feed.h"
#include "platform/net/network_interface.h"

namespace sorvanta {

// Multicast DNS on one interface over the families it has addresses for (IPv4 and
// IPv6). Received packets are parsed here: malformed ones are dropped and counted, and
// responses that do not come from port 5353 are dropped. Queries from another port are
// passed on with their source: they are one-shot (legacy) queries wanting a unicast reply.
class MdnsTransport : public std::enable_shared_from_this<MdnsTransport> {
  public:
    using MessageHandler =
        std::function<void(const MdnsMessage&, const asio::ip::udp::endpoint& source)>;

    // Opens the sockets; on failure returns null and sets `error`.
    static std::shared_ptr<MdnsTransport> open(NetworkExecutor executor,
                                               const InterfaceInfo& interface,
                                               PlatformError& error);

    void startReceiving(MessageHandler handler);
    // Sends on every family; empty packets are skipped.
    void send(const std::vector<std::uint8_t>& packet);
    // Sends a unicast reply on the socket of the destination's family.
    void sendTo(const std::vector<std::uint8_t>& packet,
                const asio::ip::udp::endpoint& destination);
    void close();

    const InterfaceInfo& interface() const { return interface_; }

    // What changed on the interface since the last look.
    struct LinkChange {
        bool cameUp = false;            // carrier is back after being lost
        bool wentDown = false;          // carrier lost, the interface down or gone
        bool addressesChanged = false;  // addresses added or removed
    };
    // Reads the interface again and keeps its latest state. The read is skipped (no change)
    // while the kernel has announced no link or address change since the last one.
    LinkChange refreshInterface();
    std::uint64_t malformedPackets() const { return malformed_; }

  private:
    MdnsTransport() = default;
    void handle(std::span<const std::uint8_t> packet, const asio::ip::udp::endpoint& from);

    InterfaceInfo interface_;
    std::vector<std::shared_ptr<MdnsSocket>> sockets_;
    MessageHandler handler_;
    std::uint64_t malformed_ = 0;
    // Null when the kernel's announcements cannot be followed: then every refresh reads.
    std::unique_ptr<LinkChangeFeed> changes_;
};

}  // namespace sorvanta
