#include "platform/dnssd/dnssd_resolver.h"

#include <asio/post.hpp>
#include <cerrno>

#include "platform/dnssd/mdns_known_records.h"
#include "support/secure_random.h"

namespace sorvanta {

std::shared_ptr<DnssdResolver> DnssdResolver::create(NetworkExecutor executor,
                                                     DnssdEndpoint endpoint,
                                                     std::chrono::milliseconds timeout) {
    return std::shared_ptr<DnssdResolver>(
        new DnssdResolver(std::move(executor), std::move(endpoint), timeout));
}

DnssdResolver::DnssdResolver(NetworkExecutor executor, DnssdEndpoint endpoint,
                             std::chrono::milliseconds timeout)
    : executor_(executor),
      endpoint_(std::move(endpoint)),
      timeout_(timeout),
      timer_(executor),
      deadline_(executor) {}

DnssdResolver::~DnssdResolver() {
    if (transport_) {
        transport_->close();
    }
}

void DnssdResolver::start(Completion completion) {
    asio::post(executor_, [self = shared_from_this(), c = std::move(completion)]() mutable {
        if (self->done_ || self->completion_) {
            return;
        }
        self->completion_ = std::move(c);
        self->begin();
    });
}

void DnssdResolver::cancel() {
    gate_.close();  // at once: no handler may run after cancel() returns
    asio::post(executor_, [self = shared_from_this()] {
        self->done_ = true;
        ++self->timerGeneration_;
        self->timer_.cancel();
        self->deadline_.cancel();
        if (self->transport_) {
            self->transport_->close();
        }
    });
}

void DnssdResolver::begin() {
    auto interface = findInterface(endpoint_.interface.index);
    if (!interface || interface->interface.name != endpoint_.interface.name || !interface->up) {
        finish(PlatformError::posix(ENXIO));
        return;
    }
    PlatformError error;
    transport_ = MdnsTransport::open(executor_, *interface, error);
    if (!transport_) {
        finish(error);
        return;
    }
    const MdnsName type = MdnsName::fromText(endpoint_.serviceType + "." + endpoint_.domain);
    const MdnsName instance = type.prefixed(endpoint_.instanceName);
    resolver_ = std::make_unique<MdnsResolver>(instance, secureRandomSeed());
    if (endpoint_.known) {
        resolver_->seed(endpoint_.known->about(instance, MdnsClock::now()), MdnsClock::now());
    }
    transport_->startReceiving(
        [weak = weak_from_this()](const MdnsMessage& message, const asio::ip::udp::endpoint&) {
            auto self = weak.lock();
            if (!self || self->done_) {
                return;
            }
            self->resolver_->receive(message, MdnsClock::now());
            self->pump();
        });
    deadline_.expires_after(timeout_);
    deadline_.async_wait([weak = weak_from_this()](const asio::error_code& e) {
        auto self = weak.lock();
        if (!e && self && !self->done_) {
            self->finish(PlatformError::posix(ETIMEDOUT));
        }
    });
    resolver_->start(MdnsClock::now());
    pump();
}

void DnssdResolver::pump() {
    const auto now = MdnsClock::now();
    resolver_->advance(now);
    for (const auto& packet : resolver_->takePackets()) {
        transport_->send(packet);
    }
    if (resolver_->complete(now)) {
        finish(std::nullopt);
        return;
    }
    const auto next = resolver_->nextWake();
    const auto generation = ++timerGeneration_;
    if (!next) {
        return;
    }
    timer_.expires_at(*next);
    timer_.async_wait([weak = weak_from_this(), generation](const asio::error_code& e) {
        auto self = weak.lock();
        if (!e && self && !self->done_ && generation == self->timerGeneration_) {
            self->pump();
        }
    });
}

void DnssdResolver::finish(std::optional<PlatformError> error) {
    if (done_) {
        return;
    }
    done_ = true;
    ++timerGeneration_;
    timer_.cancel();
    deadline_.cancel();
    std::vector<asio::ip::tcp::endpoint> addresses;
    if (!error) {
        const auto result = *resolver_->result();
        for (const auto& bytes : result.ipv6) {
            asio::ip::address_v6 address(bytes);
            if (address.is_link_local()) {
                address.scope_id(static_cast<unsigned long>(endpoint_.interface.index));
            }
            addresses.emplace_back(address, result.port);
        }
        for (const auto& bytes : result.ipv4) {
            addresses.emplace_back(asio::ip::address_v4(bytes), result.port);
        }
    }
    if (transport_) {
        transport_->close();
    }
    if (gate_.isOpen() && completion_) {
        auto completion = std::move(completion_);
        completion(addresses, error);
    }
}

}  // namespace sorvanta
