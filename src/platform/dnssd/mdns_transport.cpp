#include "platform/dnssd/mdns_transport.h"

#include <algorithm>
#include <cerrno>

namespace sorvanta {

std::shared_ptr<MdnsTransport> MdnsTransport::open(NetworkExecutor executor,
                                                   const InterfaceInfo& interface,
                                                   PlatformError& error) {
    std::shared_ptr<MdnsTransport> transport(new MdnsTransport());
    transport->interface_ = interface;
    transport->changes_ = LinkChangeFeed::open(interface.interface.index);
    bool hasV4 = false;
    bool hasV6 = false;
    for (const auto& address : interface.addresses) {
        hasV4 |= address.is_v4();
        hasV6 |= address.is_v6();
    }
    if (!hasV4 && !hasV6) {
        error = PlatformError::posix(EADDRNOTAVAIL);
        return nullptr;
    }
    for (auto family : {MdnsSocket::Family::ipv4, MdnsSocket::Family::ipv6}) {
        if ((family == MdnsSocket::Family::ipv4 && !hasV4) ||
            (family == MdnsSocket::Family::ipv6 && !hasV6)) {
            continue;
        }
        auto socket = MdnsSocket::create(executor);
        if (auto failure = socket->open(family, interface.interface.index)) {
            for (auto& opened : transport->sockets_) {
                opened->close();
            }
            error = *failure;
            return nullptr;
        }
        transport->sockets_.push_back(std::move(socket));
    }
    return transport;
}

MdnsTransport::LinkChange MdnsTransport::refreshInterface() {
    LinkChange change;
    if (changes_ && !changes_->changedSinceLastAsked()) {
        return change;
    }
    auto now = interfaceState(interface_.interface.index);
    const bool wasUp = interface_.carrier && interface_.up;
    if (!now || now->interface.name != interface_.interface.name) {
        // Gone: reported once; the owner learns the rest from its own interface monitoring.
        change.wentDown = wasUp;
        interface_.carrier = false;
        return change;
    }
    const bool isUp = now->carrier && now->up;
    change.cameUp = isUp && !wasUp;
    change.wentDown = wasUp && !isUp;
    auto sorted = [](std::vector<asio::ip::address> addresses) {
        std::sort(addresses.begin(), addresses.end());
        return addresses;
    };
    change.addressesChanged = sorted(now->addresses) != sorted(interface_.addresses);
    now->interface.type = interface_.interface.type;
    interface_ = std::move(*now);
    return change;
}

void MdnsTransport::startReceiving(MessageHandler handler) {
    handler_ = std::move(handler);
    for (auto& socket : sockets_) {
        socket->startReceiving([weak = weak_from_this()](std::span<const std::uint8_t> packet,
                                                         const asio::ip::udp::endpoint& from) {
            if (auto self = weak.lock()) {
                self->handle(packet, from);
            }
        });
    }
}

void MdnsTransport::handle(std::span<const std::uint8_t> packet,
                           const asio::ip::udp::endpoint& from) {
    auto message = parseMdnsMessage(packet);
    if (!message) {
        ++malformed_;
        return;
    }
    // Only a responder on the multicast DNS port may answer.
    if (message->isResponse() && from.port() != mdns::port) {
        return;
    }
    if (handler_) {
        handler_(*message, from);
    }
}

void MdnsTransport::send(const std::vector<std::uint8_t>& packet) {
    if (packet.empty()) {
        return;
    }
    for (auto& socket : sockets_) {
        socket->send(packet);  // a lost datagram is repaired by the protocol's repetitions
    }
}

void MdnsTransport::sendTo(const std::vector<std::uint8_t>& packet,
                           const asio::ip::udp::endpoint& destination) {
    for (auto& socket : sockets_) {
        if ((socket->family() == MdnsSocket::Family::ipv6) == destination.address().is_v6()) {
            socket->sendTo(packet, destination);
            return;
        }
    }
}

void MdnsTransport::close() {
    for (auto& socket : sockets_) {
        socket->close();
    }
}

}  // namespace sorvanta
