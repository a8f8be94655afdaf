#include "platform/dnssd/mdns_interface_driver.h"

#include <asio/post.hpp>
#include <cerrno>

#include "platform/dnssd/mdns_browser.h"
#include "platform/dnssd/mdns_responder.h"

namespace sorvanta {

std::vector<InterfaceInfo> chooseMdnsInterfaces(std::optional<int> pinnedIndex) {
    std::vector<InterfaceInfo> chosen;
    if (pinnedIndex) {
        if (auto interface = findInterface(*pinnedIndex); interface && interface->up) {
            chosen.push_back(*interface);
        }
    } else {
        for (auto& interface : listInterfaces()) {
            if (interface.interface.type == InterfaceType::wiredEthernet && interface.up) {
                chosen.push_back(std::move(interface));
            }
        }
    }
    return chosen;
}

template <class Engine>
void MdnsInterfaceDriver<Engine>::start(std::shared_ptr<void> self) {
    asio::post(executor_, [this, self = std::move(self)] {
        if (cancelled_ || state_.kind != DnssdState::Kind::setup) {
            return;
        }
        ownerLife_ = self;
        if (!owner_.parametersValid()) {
            setState(DnssdState::failed(PlatformError::dnssd(-65540)));  // bad parameter
            return;
        }
        openInterfaces();
    });
}

template <class Engine>
void MdnsInterfaceDriver<Engine>::cancel(std::shared_ptr<void> self) {
    gate_.close();  // at once: no handler may run after cancel() returns
    asio::post(executor_, [this, self = std::move(self)] {
        if (cancelled_) {
            return;
        }
        cancelled_ = true;
        shutDown();
        state_ = {DnssdState::Kind::cancelled, {}};
    });
}

template <class Engine>
void MdnsInterfaceDriver<Engine>::closeUncancelled() {
    if (!cancelled_) {
        gate_.close();
        shutDown();
    }
}

template <class Engine>
std::uint64_t MdnsInterfaceDriver<Engine>::malformedPackets() const {
    std::uint64_t count = dropped_;
    for (const auto& unit : units_) {
        count += unit.transport->malformedPackets();
    }
    return count;
}

template <class Engine>
void MdnsInterfaceDriver<Engine>::sendDue() {
    const auto now = MdnsClock::now();
    for (auto& unit : units_) {
        if (auto wake = unit.engine->nextWake(); wake && *wake <= now) {
            unit.engine->advance(now);
        }
        for (const auto& packet : unit.engine->takePackets()) {
            unit.transport->send(packet);
        }
        if constexpr (requires { unit.engine->takeUnicasts(); }) {
            for (const auto& reply : unit.engine->takeUnicasts()) {
                unit.transport->sendTo(reply.packet, reply.destination);
            }
        }
    }
}

template <class Engine>
void MdnsInterfaceDriver<Engine>::arm() {
    std::optional<MdnsTime> next;
    for (const auto& unit : units_) {
        if (auto wake = unit.engine->nextWake(); wake && (!next || *wake < *next)) {
            next = wake;
        }
    }
    const auto generation = ++timerGeneration_;
    if (!next) {
        timer_.cancel();
        return;
    }
    timer_.expires_at(*next);
    timer_.async_wait([this, life = ownerLife_, generation](const asio::error_code& error) {
        auto alive = life.lock();
        if (error || !alive || cancelled_ || generation != timerGeneration_) {
            return;
        }
        owner_.pump();
    });
}

template <class Engine>
void MdnsInterfaceDriver<Engine>::openInterfaces() {
    std::optional<PlatformError> failure;
    for (const auto& interface : chooseMdnsInterfaces(interfaceIndex_)) {
        PlatformError error;
        auto transport = MdnsTransport::open(executor_, interface, error);
        if (!transport) {
            failure = error;
            continue;
        }
        transport->startReceiving(
            [this, life = ownerLife_, index = units_.size()](
                const MdnsMessage& message, const asio::ip::udp::endpoint& source) {
                auto alive = life.lock();
                if (!alive || cancelled_ || index >= units_.size() ||
                    !owner_.accepts(index, source.address())) {
                    return;
                }
                if constexpr (requires {
                                  units_[index].engine->receive(message, MdnsTime{}, source);
                              }) {
                    units_[index].engine->receive(message, MdnsClock::now(), source);
                } else {
                    units_[index].engine->receive(message, MdnsClock::now());
                }
                owner_.pump();
            });
        units_.push_back({std::move(transport), owner_.makeEngine(interface)});
    }
    if (units_.empty()) {
        // No interface to work on yet: wait and look again. A socket that cannot be
        // set up at all is a failure the owner must see.
        if (failure && failure->code != EADDRNOTAVAIL) {
            setState(DnssdState::failed(*failure));
            return;
        }
        setState(DnssdState::waiting(PlatformError::posix(ENETDOWN)));
        const auto generation = ++timerGeneration_;
        timer_.expires_after(retryWhileWaiting);
        timer_.async_wait([this, life = ownerLife_, generation](const asio::error_code& error) {
            auto alive = life.lock();
            if (error || !alive || cancelled_ || generation != timerGeneration_) {
                return;
            }
            openInterfaces();
        });
        return;
    }
    for (auto& unit : units_) {
        unit.engine->start(MdnsClock::now());
    }
    watchLinks();
    setState({DnssdState::Kind::ready, {}});
    owner_.pump();
}

template <class Engine>
void MdnsInterfaceDriver<Engine>::watchLinks() {
    linkTimer_.expires_at(nextLinkCheck(std::chrono::steady_clock::now()));
    linkTimer_.async_wait([this, life = ownerLife_](const asio::error_code& error) {
        auto alive = life.lock();
        if (error || !alive || cancelled_) {
            return;
        }
        const auto now = MdnsClock::now();
        for (auto& unit : units_) {
            owner_.linkChanged(unit, unit.transport->refreshInterface(), now);
        }
        owner_.pump();
        watchLinks();
    });
}

template <class Engine>
void MdnsInterfaceDriver<Engine>::setState(const DnssdState& state) {
    if (state == state_) {
        return;
    }
    state_ = state;
    if (stateHandler_ && gate_.isOpen()) {
        stateHandler_(state);
    }
}

template <class Engine>
void MdnsInterfaceDriver<Engine>::shutDown() {
    ++timerGeneration_;
    timer_.cancel();
    linkTimer_.cancel();
    for (auto& unit : units_) {
        owner_.closing(unit);
        dropped_ += unit.transport->malformedPackets();
        unit.transport->close();
    }
    units_.clear();
}

template class MdnsInterfaceDriver<MdnsResponder>;
template class MdnsInterfaceDriver<MdnsBrowser>;

}  // namespace sorvanta
