#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dnssd/dnssd_endpoint.h"
#include "platform/dnssd/dnssd_state.h"
#include "platform/dnssd/dnssd_txt.h"
#include "platform/dnssd/mdns_browser.h"
#include "platform/dnssd/mdns_interface_driver.h"
#include "platform/dnssd/mdns_known_records.h"
#include "platform/net/network_executor.h"

namespace sorvanta {

// One service instance found on one interface.
struct DnssdBrowseResult {
    DnssdEndpoint endpoint;
    std::string endpointText;     // endpoint.text()
    std::optional<DnssdTxt> txt;  // absent while the instance has no TXT record
    // What the browser keeps hearing on that interface, for resolving the endpoint
    // without asking again; not part of the result's value.
    std::shared_ptr<const MdnsKnownRecords> known;

    const std::string& instanceName() const { return endpoint.instanceName; }
    const NetworkInterface& interface() const { return endpoint.interface; }

    bool operator==(const DnssdBrowseResult& other) const {
        return endpoint == other.endpoint && endpointText == other.endpointText && txt == other.txt;
    }
};

// Browses one service type with multicast DNS on one pinned interface, or on every
// wired interface that is up when none is pinned, on the owner's serial executor (see
// network_executor.h). Every change delivers the full current set of results, sorted
// by endpoint text.
class DnssdBrowser final : public std::enable_shared_from_this<DnssdBrowser>,
                           private MdnsInterfaceDriver<MdnsBrowser>::Owner {
  public:
    struct Options {
        std::string serviceType = "_sorvanta._tcp";
        std::optional<int> interfaceIndex;  // absent: every wired interface
    };
    using StateHandler = std::function<void(const DnssdState&)>;
    using ResultsHandler = std::function<void(const std::vector<DnssdBrowseResult>&)>;

    static std::shared_ptr<DnssdBrowser> create(NetworkExecutor executor, Options options);
    ~DnssdBrowser();

    // Handlers are set before start().
    void setStateHandler(StateHandler handler) { driver_.setStateHandler(std::move(handler)); }
    void setResultsHandler(ResultsHandler handler) { resultsHandler_ = std::move(handler); }

    void start();
    void cancel();

    // Received packets dropped as malformed, over all interfaces (read on the executor).
    std::uint64_t malformedPackets() const { return driver_.malformedPackets(); }

  private:
    using Driver = MdnsInterfaceDriver<MdnsBrowser>;

    DnssdBrowser(NetworkExecutor executor, Options options);
    bool parametersValid() const override;
    std::unique_ptr<MdnsBrowser> makeEngine(const InterfaceInfo& interface) override;
    // A link that came back starts the querying over.
    void linkChanged(Driver::Unit& unit, const MdnsTransport::LinkChange& change,
                     MdnsTime now) override;
    void pump() override;

    Options options_;
    ResultsHandler resultsHandler_;
    std::map<int, std::shared_ptr<MdnsKnownRecords>> known_;  // by interface index
    Driver driver_;  // after options_, which it is built from
};

}  // namespace sorvanta
