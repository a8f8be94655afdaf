#include "platform/dnssd/mdns_dnssd_browser.h"

#include <algorithm>
#include <asio/post.hpp>

#include "support/secure_random.h"

namespace sorvanta {

std::shared_ptr<MdnsDnssdBrowser> MdnsDnssdBrowser::create(NetworkExecutor executor,
                                                           Options options) {
    return std::shared_ptr<MdnsDnssdBrowser>(
        new MdnsDnssdBrowser(std::move(executor), std::move(options)));
}

MdnsDnssdBrowser::MdnsDnssdBrowser(NetworkExecutor executor, Options options)
    : executor_(executor),
      options_(std::move(options)),
      driver_(executor, options_.interfaceIndex, *this) {}

MdnsDnssdBrowser::~MdnsDnssdBrowser() {
    driver_.closeUncancelled();
}

void MdnsDnssdBrowser::start() {
    driver_.start(shared_from_this());
}

void MdnsDnssdBrowser::cancel() {
    driver_.cancel(shared_from_this());
}

bool MdnsDnssdBrowser::parametersValid() const {
    return MdnsName::fromText(options_.serviceType + ".local").valid();
}

std::unique_ptr<MdnsBrowser> MdnsDnssdBrowser::makeEngine(const InterfaceInfo&) {
    return std::make_unique<MdnsBrowser>(MdnsName::fromText(options_.serviceType + ".local"),
                                         secureRandomSeed());
}

void MdnsDnssdBrowser::followLink(MdnsBrowser& engine, const MdnsTransport::LinkChange& change,
                                  MdnsTime now) {
    if (change.wentDown) {
        engine.linkDown(now);
    }
    if (change.cameUp) {
        engine.restartQueries(now);
    }
}

bool MdnsDnssdBrowser::reconfirmOn(const std::vector<std::pair<int, MdnsBrowser*>>& engines,
                                   const std::string& serviceType, const DnssdEndpoint& endpoint,
                                   MdnsTime now) {
    const MdnsName instance =
        MdnsName::fromText(serviceType + ".local").prefixed(endpoint.instanceName);
    bool any = false;
    for (const auto& [index, engine] : engines) {
        if (index == endpoint.interface.index) {
            engine->reconfirm(instance, now);
            any = true;
        }
    }
    return any;
}

void MdnsDnssdBrowser::linkChanged(Driver::Unit& unit, const MdnsTransport::LinkChange& change,
                                   MdnsTime now) {
    followLink(*unit.engine, change, now);
}

void MdnsDnssdBrowser::reconfirm(const DnssdEndpoint& endpoint) {
    asio::post(executor_, [weak = weak_from_this(), endpoint] {
        auto self = weak.lock();
        if (!self || !self->driver_.handlersOpen()) {
            return;
        }
        std::vector<std::pair<int, MdnsBrowser*>> engines;
        for (auto& unit : self->driver_.units()) {
            engines.emplace_back(unit.transport->interface().interface.index, unit.engine.get());
        }
        if (reconfirmOn(engines, self->options_.serviceType, endpoint, MdnsClock::now())) {
            self->pump();
        }
    });
}

void MdnsDnssdBrowser::pump() {
    driver_.sendDue();
    bool changed = false;
    for (auto& unit : driver_.units()) {
        changed |= unit.engine->takeChanged();
        auto& known = known_[unit.transport->interface().interface.index];
        if (!known) {
            known = std::make_shared<MdnsKnownRecords>();
        }
        known->replace(unit.engine->cache().entries());
    }
    driver_.arm();
    if (!changed || !driver_.handlersOpen() || !resultsHandler_) {
        return;
    }
    std::vector<DnssdBrowseResult> results;
    for (const auto& unit : driver_.units()) {
        for (const auto& found : unit.engine->results()) {
            const auto& interface = unit.transport->interface().interface;
            DnssdEndpoint endpoint{found.instanceName, options_.serviceType, "local", interface,
                                   known_[interface.index]};
            std::string text = endpoint.text();
            results.push_back({std::move(endpoint), std::move(text), found.txt});
        }
    }
    std::sort(results.begin(), results.end(),
              [](const auto& a, const auto& b) { return a.endpointText < b.endpointText; });
    resultsHandler_(results);
}

}  // namespace sorvanta
