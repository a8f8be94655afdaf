#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dnssd/dnssd_browser.h"
#include "platform/dnssd/mdns_browser.h"
#include "platform/dnssd/mdns_interface_driver.h"
#include "platform/dnssd/mdns_known_records.h"
#include "platform/net/network_executor.h"

namespace sorvanta {

// The DnssdBrowser of this system: browses one service type with multicast DNS on one pinned
// interface, or on every wired interface that is up when none is pinned, on the owner's serial
// executor (see network_executor.h). Every change delivers the full current set of results, sorted
// by endpoint text.
class MdnsDnssdBrowser final : public DnssdBrowser,
                               public std::enable_shared_from_this<MdnsDnssdBrowser>,
                               private MdnsInterfaceDriver<MdnsBrowser>::Owner {
  public:
    static std::shared_ptr<MdnsDnssdBrowser> create(NetworkExecutor executor, Options options);
    ~MdnsDnssdBrowser() override;

    // Handlers are set before start().
    void setStateHandler(StateHandler handler) override {
        driver_.setStateHandler(std::move(handler));
    }
    void setResultsHandler(ResultsHandler handler) override {
        resultsHandler_ = std::move(handler);
    }

    void start() override;
    void cancel() override;
    void reconfirm(const DnssdEndpoint& endpoint) override;

    // Received packets dropped as malformed, over all interfaces (read on the executor).
    std::uint64_t malformedPackets() const override { return driver_.malformedPackets(); }

  private:
    using Driver = MdnsInterfaceDriver<MdnsBrowser>;

    MdnsDnssdBrowser(NetworkExecutor executor, Options options);
    bool parametersValid() const override;
    std::unique_ptr<MdnsBrowser> makeEngine(const InterfaceInfo& interface) override;
    // A link that went down puts what was heard over it in doubt; one that came back starts
    // the querying over.
    void linkChanged(Driver::Unit& unit, const MdnsTransport::LinkChange& change,
                     MdnsTime now) override;
    void pump() override;

    NetworkExecutor executor_;
    Options options_;
    ResultsHandler resultsHandler_;
    std::map<int, std::shared_ptr<MdnsKnownRecords>> known_;  // by interface index
    Driver driver_;  // after options_, which it is built from
};

}  // namespace sorvanta
