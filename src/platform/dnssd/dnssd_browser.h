#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dnssd/dnssd_endpoint.h"
#include "platform/dnssd/dnssd_state.h"
#include "platform/dnssd/dnssd_txt.h"

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

// Browses one service type on one pinned interface, or on every wired interface that is up
// when none is pinned, on the owner's serial executor (see network_executor.h). Every change
// delivers the full current set of results, sorted by endpoint text. Handlers are posted,
// never run inside start() or cancel(); none runs after cancel().
class DnssdBrowser {
  public:
    struct Options {
        std::string serviceType = "_sorvanta._tcp";
        std::optional<int> interfaceIndex;  // absent: every wired interface
    };
    using StateHandler = std::function<void(const DnssdState&)>;
    using ResultsHandler = std::function<void(const std::vector<DnssdBrowseResult>&)>;

    virtual ~DnssdBrowser() = default;

    // Handlers are set before start().
    virtual void setStateHandler(StateHandler handler) = 0;
    virtual void setResultsHandler(ResultsHandler handler) = 0;

    virtual void start() = 0;
    virtual void cancel() = 0;
    // Contacting the instance failed (a dial that found nobody, a connection the other end
    // dropped): ask for its records again and report it gone unless it answers within ten
    // seconds, instead of listing it until its records' TTL ends. Posted; a no-op for an
    // endpoint this browser does not hold.
    virtual void reconfirm(const DnssdEndpoint& endpoint) = 0;

    // Received packets dropped as malformed, over all interfaces (read on the executor).
    virtual std::uint64_t malformedPackets() const = 0;
};

}  // namespace sorvanta
