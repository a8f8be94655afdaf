#include "platform/dnssd_advertiser.h"

#include <asio/dispatch.hpp>
#include <cerrno>
#include <cstdio>

#include "platform/dnssd_txt.h"
#include "support/secure_random.h"

namespace sorvanta {

namespace {

constexpr std::chrono::seconds retryWhileWaiting{2};
constexpr std::chrono::seconds linkCheckInterval{1};

std::uint32_t randomSeed() {
    std::uint32_t seed = 0;
    secureRandomFill(std::span(reinterpret_cast<std::uint8_t*>(&seed), sizeof seed));
    return seed;
}

std::string randomHostLabel() {
    const auto bytes = secureRandomBytes(6);
    std::string label = "sorvanta-";
    char hex[3];
    for (auto b : bytes) {
        std::snprintf(hex, sizeof hex, "%02x", b);
        label += hex;
    }
    return label;
}

}  // namespace

std::string DnssdRegistrationChange::text() const {
    return std::string(kind == Kind::added ? "added(" : "removed(") + instanceName + ")";
}

std::shared_ptr<DnssdAdvertiser> DnssdAdvertiser::create(NetworkExecutor executor, Service service,
                                                         Options options) {
    return std::shared_ptr<DnssdAdvertiser>(
        new DnssdAdvertiser(std::move(executor), std::move(service), options));
}

DnssdAdvertiser::DnssdAdvertiser(NetworkExecutor executor, Service service, Options options)
    : executor_(executor),
      service_(std::move(service)),
      options_(options),
      hostLabel_(randomHostLabel()),
      // A computer name too long for one label is cut, as a system responder does,
      // rather than refused: the advertisement must not fail for the user's naming.
      name_(MdnsResponder::fitLabel(service_.instanceName)),
      timer_(executor),
      linkTimer_(executor) {}

DnssdAdvertiser::~DnssdAdvertiser() {
    if (!cancelled_) {
        gate_.close();
        shutDown();
    }
}

void DnssdAdvertiser::start() {
    asio::dispatch(executor_, [self = shared_from_this()] {
        if (!self->cancelled_ && self->state_.kind == DnssdState::Kind::setup) {
            self->begin();
        }
    });
}

void DnssdAdvertiser::cancel() {
    asio::dispatch(executor_, [self = shared_from_this()] {
        if (self->cancelled_) {
            return;
        }
        self->cancelled_ = true;
        self->gate_.close();
        self->shutDown();
        self->state_ = {DnssdState::Kind::cancelled, {}};
    });
}

std::uint64_t DnssdAdvertiser::malformedPackets() const {
    std::uint64_t count = dropped_;
    for (const auto& unit : units_) {
        count += unit.transport->malformedPackets();
    }
    return count;
}

void DnssdAdvertiser::shutDown() {
    ++timerGeneration_;
    timer_.cancel();
    linkTimer_.cancel();
    for (auto& unit : units_) {
        unit.transport->send(unit.responder->stop());
        dropped_ += unit.transport->malformedPackets();
        unit.transport->close();
    }
    units_.clear();
}

void DnssdAdvertiser::begin() {
    const MdnsName type = MdnsName::fromText(service_.serviceType + ".local");
    if (!MdnsName({name_}).valid() || !type.valid() || service_.port == 0) {
        setState(DnssdState::failed(PlatformError::dnssd(-65540)));  // bad parameter
        return;
    }
    openInterfaces();
}

void DnssdAdvertiser::openInterfaces() {
    std::vector<InterfaceInfo> chosen;
    if (options_.interfaceIndex) {
        if (auto interface = findInterface(*options_.interfaceIndex); interface && interface->up) {
            chosen.push_back(*interface);
        }
    } else {
        for (auto& interface : listInterfaces()) {
            if (interface.interface.type == InterfaceType::wiredEthernet && interface.up) {
                chosen.push_back(std::move(interface));
            }
        }
    }
    std::optional<PlatformError> failure;
    for (const auto& interface : chosen) {
        PlatformError error;
        auto transport = MdnsTransport::open(executor_, interface, error);
        if (!transport) {
            failure = error;
            continue;
        }
        transport->startReceiving([weak = weak_from_this(), index = units_.size()](
                                      const MdnsMessage& message, const asio::ip::address& source) {
            auto self = weak.lock();
            if (!self || self->cancelled_ || index >= self->units_.size() ||
                self->sentByOtherUnit(index, source)) {
                return;
            }
            self->units_[index].responder->receive(message, MdnsClock::now());
            self->pump();
        });
        units_.push_back({std::move(transport), makeResponder(interface, name_)});
    }
    if (units_.empty()) {
        // No interface to advertise on yet: wait and look again. A socket that cannot be
        // set up at all is a failure the owner must see.
        if (failure && failure->code != EADDRNOTAVAIL) {
            setState(DnssdState::failed(*failure));
            return;
        }
        setState(DnssdState::waiting(PlatformError::posix(ENETDOWN)));
        const auto generation = ++timerGeneration_;
        timer_.expires_after(retryWhileWaiting);
        timer_.async_wait([weak = weak_from_this(), generation](const asio::error_code& error) {
            auto self = weak.lock();
            if (error || !self || self->cancelled_ || generation != self->timerGeneration_) {
                return;
            }
            self->openInterfaces();
        });
        return;
    }
    for (auto& unit : units_) {
        unit.responder->start(MdnsClock::now());
    }
    watchLinks();
    setState({DnssdState::Kind::ready, {}});
    pump();
}

void DnssdAdvertiser::watchLinks() {
    linkTimer_.expires_after(linkCheckInterval);
    linkTimer_.async_wait([weak = weak_from_this()](const asio::error_code& error) {
        auto self = weak.lock();
        if (error || !self || self->cancelled_) {
            return;
        }
        const auto now = MdnsClock::now();
        for (auto& unit : self->units_) {
            const auto change = unit.transport->refreshInterface();
            if (change.addressesChanged) {
                std::vector<std::array<std::uint8_t, 4>> ipv4;
                std::vector<std::array<std::uint8_t, 16>> ipv6;
                for (const auto& address : unit.transport->interface().addresses) {
                    if (address.is_v4()) {
                        ipv4.push_back(address.to_v4().to_bytes());
                    } else {
                        ipv6.push_back(address.to_v6().to_bytes());
                    }
                }
                unit.responder->updateAddresses(std::move(ipv4), std::move(ipv6), now);
            } else if (change.cameUp) {
                unit.responder->restart(now);
            }
        }
        self->pump();
        self->watchLinks();
    });
}

std::unique_ptr<MdnsResponder> DnssdAdvertiser::makeResponder(const InterfaceInfo& interface,
                                                              const std::string& name) {
    MdnsServiceDescription description;
    description.instanceName = name;
    description.serviceType = MdnsName::fromText(service_.serviceType + ".local");
    description.port = service_.port;
    description.txt = txtToStrings(service_.txt);
    description.hostLabel = hostLabel_;
    description.hostTtl = options_.hostTtl;
    description.otherTtl = options_.otherTtl;
    for (const auto& address : interface.addresses) {
        if (address.is_v4()) {
            description.ipv4.push_back(address.to_v4().to_bytes());
        } else {
            description.ipv6.push_back(address.to_v6().to_bytes());
        }
    }
    return std::make_unique<MdnsResponder>(std::move(description), randomSeed());
}

bool DnssdAdvertiser::sentByOtherUnit(std::size_t index, const asio::ip::address& source) const {
    auto unscoped = [](const asio::ip::address& address) {
        if (address.is_v6()) {
            auto v6 = address.to_v6();
            v6.scope_id(0);
            return asio::ip::address(v6);
        }
        return address;
    };
    const auto from = unscoped(source);
    for (std::size_t i = 0; i < units_.size(); ++i) {
        if (i == index) {
            continue;
        }
        for (const auto& address : units_[i].transport->interface().addresses) {
            if (unscoped(address) == from) {
                return true;
            }
        }
    }
    return false;
}

void DnssdAdvertiser::pump() {
    const auto now = MdnsClock::now();
    std::optional<std::string> renamed;
    std::vector<DnssdRegistrationChange> changes;
    for (auto& unit : units_) {
        if (auto wake = unit.responder->nextWake(); wake && *wake <= now) {
            unit.responder->advance(now);
        }
        for (const auto& packet : unit.responder->takePackets()) {
            unit.transport->send(packet);
        }
        for (const auto& event : unit.responder->takeEvents()) {
            if (event.kind == MdnsResponder::Event::Kind::renamed) {
                renamed = event.name;
            } else if (event.name == name_ && announced_ != name_) {
                announced_ = name_;
                changes.push_back({DnssdRegistrationChange::Kind::added, name_});
            }
        }
    }
    if (renamed) {
        if (announced_ && *announced_ != *renamed) {
            changes.push_back({DnssdRegistrationChange::Kind::removed, *announced_});
        }
        rename(*renamed);
    }
    arm();
    // Handlers run last: one of them may cancel this advertisement.
    for (const auto& change : changes) {
        if (!gate_.isOpen()) {
            break;
        }
        if (registrationHandler_) {
            registrationHandler_(change);
        }
    }
}

void DnssdAdvertiser::rename(const std::string& name) {
    announced_.reset();
    name_ = name;
    // The other interfaces follow, so one name is advertised everywhere.
    const auto now = MdnsClock::now();
    for (auto& unit : units_) {
        if (unit.responder->instanceName() != name_) {
            unit.transport->send(unit.responder->stop());
            unit.responder = makeResponder(unit.transport->interface(), name_);
            unit.responder->start(now);
        }
    }
}

void DnssdAdvertiser::arm() {
    std::optional<MdnsTime> next;
    for (const auto& unit : units_) {
        if (auto wake = unit.responder->nextWake(); wake && (!next || *wake < *next)) {
            next = wake;
        }
    }
    const auto generation = ++timerGeneration_;
    if (!next) {
        timer_.cancel();
        return;
    }
    timer_.expires_at(*next);
    timer_.async_wait([weak = weak_from_this(), generation](const asio::error_code& error) {
        auto self = weak.lock();
        if (error || !self || self->cancelled_ || generation != self->timerGeneration_) {
            return;
        }
        self->pump();
    });
}

void DnssdAdvertiser::setState(const DnssdState& state) {
    if (state == state_) {
        return;
    }
    state_ = state;
    if (stateHandler_ && gate_.isOpen()) {
        stateHandler_(state);
    }
}

}  // namespace sorvanta
