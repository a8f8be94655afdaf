#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
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

    // What the browser does with the engines of its interfaces, apart from sockets and timers.
    //
    // A link that went down puts what was heard over it in doubt; one that came back starts
    // the querying over.
    static void followLink(MdnsBrowser& engine, const MdnsTransport::LinkChange& change,
                           MdnsTime now);
    // Reconfirms the endpoint's instance with the engine of the endpoint's interface, and no
    // other: a peer of the same name elsewhere is another computer. `engines` holds each
    // engine with its interface index. False when none covers that interface.
    static bool reconfirmOn(const std::vector<std::pair<int, MdnsBrowser*>>& engines,
                            const std::string& serviceType, const DnssdEndpoint& endpoint,
                            MdnsTime now);

  private:
    using Driver = MdnsInterfaceDriver<MdnsBrowser>;

    MdnsDnssdBrowser(NetworkExecutor executor, Options options);
    bool parametersValid() const override;
    std::unique_ptr<MdnsBrowser> makeEngine(const InterfaceInfo& interface) override;
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
