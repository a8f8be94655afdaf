#include "platform/dnssd_browser.h"

#include <algorithm>
#include <asio/dispatch.hpp>
#include <cerrno>

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

}  // namespace

std::shared_ptr<DnssdBrowser> DnssdBrowser::create(NetworkExecutor executor, Options options) {
    return std::shared_ptr<DnssdBrowser>(new DnssdBrowser(std::move(executor), std::move(options)));
}

DnssdBrowser::DnssdBrowser(NetworkExecutor executor, Options options)
    : executor_(executor), options_(std::move(options)), timer_(executor), linkTimer_(executor) {}

DnssdBrowser::~DnssdBrowser() {
    if (!cancelled_) {
        gate_.close();
        shutDown();
    }
}

void DnssdBrowser::start() {
    asio::dispatch(executor_, [self = shared_from_this()] {
        if (self->cancelled_ || self->state_.kind != DnssdState::Kind::setup) {
            return;
        }
        if (!MdnsName::fromText(self->options_.serviceType + ".local").valid()) {
            self->setState(DnssdState::failed(PlatformError::dnssd(-65540)));  // bad parameter
            return;
        }
        self->openInterfaces();
    });
}

void DnssdBrowser::cancel() {
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

std::uint64_t DnssdBrowser::malformedPackets() const {
    std::uint64_t count = dropped_;
    for (const auto& unit : units_) {
        count += unit.transport->malformedPackets();
    }
    return count;
}

void DnssdBrowser::shutDown() {
    ++timerGeneration_;
    timer_.cancel();
    linkTimer_.cancel();
    for (auto& unit : units_) {
        dropped_ += unit.transport->malformedPackets();
        unit.transport->close();
    }
    units_.clear();
}

void DnssdBrowser::openInterfaces() {
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
    const MdnsName type = MdnsName::fromText(options_.serviceType + ".local");
    for (const auto& interface : chosen) {
        PlatformError error;
        auto transport = MdnsTransport::open(executor_, interface, error);
        if (!transport) {
            failure = error;
            continue;
        }
        transport->startReceiving([weak = weak_from_this(), index = units_.size()](
                                      const MdnsMessage& message, const asio::ip::address&) {
            auto self = weak.lock();
            if (!self || self->cancelled_ || index >= self->units_.size()) {
                return;
            }
            self->units_[index].browser->receive(message, MdnsClock::now());
            self->pump();
        });
        units_.push_back({std::move(transport), std::make_unique<MdnsBrowser>(type, randomSeed())});
    }
    if (units_.empty()) {
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
        unit.browser->start(MdnsClock::now());
    }
    watchLinks();
    setState({DnssdState::Kind::ready, {}});
    pump();
}

void DnssdBrowser::watchLinks() {
    linkTimer_.expires_after(linkCheckInterval);
    linkTimer_.async_wait([weak = weak_from_this()](const asio::error_code& error) {
        auto self = weak.lock();
        if (error || !self || self->cancelled_) {
            return;
        }
        for (auto& unit : self->units_) {
            if (unit.transport->refreshInterface().cameUp) {
                unit.browser->restartQueries(MdnsClock::now());
            }
        }
        self->pump();
        self->watchLinks();
    });
}

void DnssdBrowser::pump() {
    const auto now = MdnsClock::now();
    bool changed = false;
    for (auto& unit : units_) {
        if (auto wake = unit.browser->nextWake(); wake && *wake <= now) {
            unit.browser->advance(now);
        }
        for (const auto& packet : unit.browser->takePackets()) {
            unit.transport->send(packet);
        }
        changed |= unit.browser->takeChanged();
    }
    arm();
    if (!changed || !gate_.isOpen() || !resultsHandler_) {
        return;
    }
    std::vector<DnssdBrowseResult> results;
    for (const auto& unit : units_) {
        for (const auto& found : unit.browser->results()) {
            DnssdEndpoint endpoint{found.instanceName, options_.serviceType, "local",
                                   unit.transport->interface().interface};
            std::string text = endpoint.text();
            results.push_back({std::move(endpoint), std::move(text), found.txt});
        }
    }
    std::sort(results.begin(), results.end(),
              [](const auto& a, const auto& b) { return a.endpointText < b.endpointText; });
    resultsHandler_(results);
}

void DnssdBrowser::arm() {
    std::optional<MdnsTime> next;
    for (const auto& unit : units_) {
        if (auto wake = unit.browser->nextWake(); wake && (!next || *wake < *next)) {
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

void DnssdBrowser::setState(const DnssdState& state) {
    if (state == state_) {
        return;
    }
    state_ = state;
    if (stateHandler_ && gate_.isOpen()) {
        stateHandler_(state);
    }
}

}  // namespace sorvanta
