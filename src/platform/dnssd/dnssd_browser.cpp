#include "platform/dnssd/dnssd_browser.h"

#include <algorithm>

#include "support/secure_random.h"

namespace sorvanta {

std::shared_ptr<DnssdBrowser> DnssdBrowser::create(NetworkExecutor executor, Options options) {
    return std::shared_ptr<DnssdBrowser>(new DnssdBrowser(std::move(executor), std::move(options)));
}

DnssdBrowser::DnssdBrowser(NetworkExecutor executor, Options options)
    : options_(std::move(options)), driver_(executor, options_.interfaceIndex, *this) {}

DnssdBrowser::~DnssdBrowser() {
    driver_.closeUncancelled();
}

void DnssdBrowser::start() {
    driver_.start(shared_from_this());
}

void DnssdBrowser::cancel() {
    driver_.cancel(shared_from_this());
}

bool DnssdBrowser::parametersValid() const {
    return MdnsName::fromText(options_.serviceType + ".local").valid();
}

std::unique_ptr<MdnsBrowser> DnssdBrowser::makeEngine(const InterfaceInfo&) {
    return std::make_unique<MdnsBrowser>(MdnsName::fromText(options_.serviceType + ".local"),
                                         secureRandomSeed());
}

void DnssdBrowser::linkChanged(Driver::Unit& unit, const MdnsTransport::LinkChange& change,
                               MdnsTime now) {
    if (change.cameUp) {
        unit.engine->restartQueries(now);
    }
}

void DnssdBrowser::pump() {
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
            DnssdEndpoint endpoint{found.instanceName, options_.serviceType, "local",
                                   unit.transport->interface().interface};
            std::string text = endpoint.text();
            results.push_back({std::move(endpoint), std::move(text), found.txt,
                               known_[unit.transport->interface().interface.index]});
        }
    }
    std::sort(results.begin(), results.end(),
              [](const auto& a, const auto& b) { return a.endpointText < b.endpointText; });
    resultsHandler_(results);
}

}  // namespace sorvanta
