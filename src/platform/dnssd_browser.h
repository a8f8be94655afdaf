#pragma once

#include <asio/steady_timer.hpp>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dnssd_endpoint.h"
#include "platform/dnssd_state.h"
#include "platform/dnssd_txt.h"
#include "platform/mdns_browser.h"
#include "platform/mdns_transport.h"
#include "platform/network_executor.h"

namespace sorvanta {

// One service instance found on one interface.
struct DnssdBrowseResult {
    DnssdEndpoint endpoint;
    std::string endpointText;     // endpoint.text()
    std::optional<DnssdTxt> txt;  // absent while the instance has no TXT record

    const std::string& instanceName() const { return endpoint.instanceName; }
    const NetworkInterface& interface() const { return endpoint.interface; }

    bool operator==(const DnssdBrowseResult&) const = default;
};

// Browses one service type with multicast DNS on one pinned interface, or on every
// wired interface that is up when none is pinned, on the owner's serial executor (see
// network_executor.h). Every change delivers the full current set of results, sorted
// by endpoint text.
class DnssdBrowser : public std::enable_shared_from_this<DnssdBrowser> {
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
    void setStateHandler(StateHandler handler) { stateHandler_ = std::move(handler); }
    void setResultsHandler(ResultsHandler handler) { resultsHandler_ = std::move(handler); }

    void start();
    void cancel();

    // Received packets dropped as malformed, over all interfaces (read on the executor).
    std::uint64_t malformedPackets() const;

  private:
    struct Unit {
        std::shared_ptr<MdnsTransport> transport;
        std::unique_ptr<MdnsBrowser> browser;
    };

    DnssdBrowser(NetworkExecutor executor, Options options);
    void openInterfaces();
    void pump();
    // Once a second: a link that came back starts the querying over.
    void watchLinks();
    void arm();
    void setState(const DnssdState& state);
    void shutDown();

    NetworkExecutor executor_;
    HandlerGate gate_;
    Options options_;
    std::vector<Unit> units_;
    asio::steady_timer timer_;
    asio::steady_timer linkTimer_;
    std::uint64_t timerGeneration_ = 0;
    DnssdState state_;
    bool cancelled_ = false;
    std::uint64_t dropped_ = 0;  // malformed packets of interfaces already closed
    StateHandler stateHandler_;
    ResultsHandler resultsHandler_;
};

}  // namespace sorvanta
