#include "platform/dnssd/dnssd_advertiser.h"

#include <cstdio>

#include "platform/dnssd/dnssd_txt.h"
#include "support/secure_random.h"

namespace sorvanta {

namespace {

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

void splitAddresses(const std::vector<asio::ip::address>& addresses,
                    std::vector<std::array<std::uint8_t, 4>>& ipv4,
                    std::vector<std::array<std::uint8_t, 16>>& ipv6) {
    for (const auto& address : addresses) {
        if (address.is_v4()) {
            ipv4.push_back(address.to_v4().to_bytes());
        } else {
            ipv6.push_back(address.to_v6().to_bytes());
        }
    }
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
    : service_(std::move(service)),
      options_(options),
      hostLabel_(randomHostLabel()),
      // A computer name too long for one label is cut, as a system responder does,
      // rather than refused: the advertisement must not fail for the user's naming.
      name_(MdnsResponder::fitLabel(service_.instanceName)),
      driver_(executor, options_.interfaceIndex, *this) {}

DnssdAdvertiser::~DnssdAdvertiser() {
    driver_.closeUncancelled();
}

void DnssdAdvertiser::start() {
    driver_.start(shared_from_this());
}

void DnssdAdvertiser::cancel() {
    driver_.cancel(shared_from_this());
}

bool DnssdAdvertiser::parametersValid() const {
    const MdnsName type = MdnsName::fromText(service_.serviceType + ".local");
    return MdnsName({name_}).valid() && type.valid() && service_.port != 0;
}

void DnssdAdvertiser::closing(Driver::Unit& unit) {
    unit.transport->send(unit.engine->stop());
}

void DnssdAdvertiser::linkChanged(Driver::Unit& unit, const MdnsTransport::LinkChange& change,
                                  MdnsTime now) {
    if (change.addressesChanged) {
        std::vector<std::array<std::uint8_t, 4>> ipv4;
        std::vector<std::array<std::uint8_t, 16>> ipv6;
        splitAddresses(unit.transport->interface().addresses, ipv4, ipv6);
        unit.engine->updateAddresses(std::move(ipv4), std::move(ipv6), now);
    } else if (change.cameUp) {
        unit.engine->restart(now);
    }
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
    splitAddresses(interface.addresses, description.ipv4, description.ipv6);
    return std::make_unique<MdnsResponder>(std::move(description), secureRandomSeed());
}

bool DnssdAdvertiser::accepts(std::size_t unit, const asio::ip::address& source) const {
    auto unscoped = [](const asio::ip::address& address) {
        if (address.is_v6()) {
            auto v6 = address.to_v6();
            v6.scope_id(0);
            return asio::ip::address(v6);
        }
        return address;
    };
    const auto from = unscoped(source);
    const auto& units = driver_.units();
    for (std::size_t i = 0; i < units.size(); ++i) {
        if (i == unit) {
            continue;
        }
        for (const auto& address : units[i].transport->interface().addresses) {
            if (unscoped(address) == from) {
                return false;
            }
        }
    }
    return true;
}

void DnssdAdvertiser::pump() {
    driver_.sendDue();
    std::optional<std::string> renamed;
    std::vector<DnssdRegistrationChange> changes;
    for (auto& unit : driver_.units()) {
        for (const auto& event : unit.engine->takeEvents()) {
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
    driver_.arm();
    // Handlers run last: one of them may cancel this advertisement.
    for (const auto& change : changes) {
        if (!driver_.handlersOpen()) {
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
    for (auto& unit : driver_.units()) {
        if (unit.engine->instanceName() != name_) {
            unit.transport->send(unit.engine->stop());
            unit.engine = makeResponder(unit.transport->interface(), name_);
            unit.engine->start(now);
        }
    }
}

}  // namespace sorvanta
