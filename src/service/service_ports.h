#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/dnssd/dnssd_browser.h"
#include "platform/dnssd/dnssd_state.h"
#include "platform/net/network_executor.h"
#include "platform/net/network_parameters.h"
#include "platform/net/network_path.h"
#include "platform/net/transport_state.h"
#include "protocol/adapter_profile.h"
#include "protocol/wired_interface.h"
#include "support/clock.h"
#include "support/platform_error.h"

namespace sorvanta {

// What the network service needs of the platform, as small virtual interfaces so that tests
// drive it with fakes. Every object delivers its handlers on the executor it was made with,
// never inside the call that caused them, and none after cancel().

// One TCP control connection, dialled or accepted, not yet started when handed over.
class ControlConnection {
  public:
    using Bytes = std::vector<std::uint8_t>;
    using StateHandler = std::function<void(const TransportState&)>;
    using PathHandler = std::function<void(const NetworkPath&)>;
    using ViabilityHandler = std::function<void(bool)>;
    using SendCompletion = std::function<void(std::optional<PlatformError>)>;
    using ReceiveCompletion = std::function<void(std::span<const std::uint8_t>, bool isComplete,
                                                 std::optional<PlatformError>)>;

    virtual ~ControlConnection() = default;
    virtual void setStateHandler(StateHandler handler) = 0;
    virtual void setPathHandler(PathHandler handler) = 0;
    virtual void setViabilityHandler(ViabilityHandler handler) = 0;
    virtual void start() = 0;
    virtual void send(Bytes data, SendCompletion completion) = 0;
    virtual void receive(std::size_t minimum, std::size_t maximum,
                         ReceiveCompletion completion) = 0;
    virtual void cancel() = 0;
    virtual std::optional<NetworkPath> currentPath() const = 0;
};

// The Bonjour advertisement with its TCP listener: one object, one state.
class DiscoveryListener {
  public:
    using StateHandler = std::function<void(const DnssdState&)>;
    using RegistrationHandler = std::function<void(const std::string&)>;
    using ConnectionHandler = std::function<void(std::shared_ptr<ControlConnection>)>;

    virtual ~DiscoveryListener() = default;
    virtual void setStateHandler(StateHandler handler) = 0;
    virtual void setRegistrationHandler(RegistrationHandler handler) = 0;
    virtual void setNewConnectionHandler(ConnectionHandler handler) = 0;
    virtual void start() = 0;
    virtual void cancel() = 0;
};

class DiscoveryBrowser {
  public:
    using StateHandler = std::function<void(const DnssdState&)>;
    using ResultsHandler = std::function<void(const std::vector<DnssdBrowseResult>&)>;

    virtual ~DiscoveryBrowser() = default;
    virtual void setStateHandler(StateHandler handler) = 0;
    virtual void setResultsHandler(ResultsHandler handler) = 0;
    virtual void start() = 0;
    virtual void cancel() = 0;
};

// Reports the wired route's path: once after start, then on every change.
class WiredPathMonitor {
  public:
    using UpdateHandler = std::function<void(const NetworkPath&)>;

    virtual ~WiredPathMonitor() = default;
    virtual void setUpdateHandler(UpdateHandler handler) = 0;
    virtual void start() = 0;
    virtual void cancel() = 0;
};

struct ServiceAdvertisement {
    std::string instanceName;
    std::string serviceType = "_sorvanta._tcp";
    std::vector<std::pair<std::string, std::string>> txt;
};

class ServiceNetwork {
  public:
    virtual ~ServiceNetwork() = default;
    // A connection to a browsed service; resolving is part of its preparing phase.
    virtual std::shared_ptr<ControlConnection> makeBrowsedConnection(
        NetworkExecutor executor, const DnssdBrowseResult& result,
        NetworkParameters parameters) = 0;
    // Throws std::exception when the listener cannot be made.
    virtual std::shared_ptr<DiscoveryListener> makeAdvertisedListener(
        NetworkExecutor executor, NetworkParameters parameters,
        ServiceAdvertisement advertisement) = 0;
    virtual std::shared_ptr<DiscoveryBrowser> makeBrowser(NetworkExecutor executor,
                                                          NetworkParameters parameters,
                                                          std::string serviceType) = 0;
    virtual std::shared_ptr<WiredPathMonitor> makePathMonitor(NetworkExecutor executor) = 0;
};

// One-shot timers on the owner's executor; never calls inside schedule().
class ServiceScheduler {
  public:
    using Token = std::uint64_t;
    virtual ~ServiceScheduler() = default;
    virtual Token schedule(double seconds, std::function<void()> action) = 0;
    virtual void cancel(Token token) = 0;
    virtual const Clock& clock() const = 0;
};

// The wired adapters as the hardware reports them.
class WiredHardware {
  public:
    virtual ~WiredHardware() = default;
    virtual std::vector<WiredInterface> inventory() = 0;
    virtual bool qualifiedAdapterOnBus() = 0;
    // The admitted adapter's profile behind an interface; none when not admitted.
    virtual std::optional<AdapterProfile> adapterProfile(const std::string& bsdName) = 0;
    virtual std::string interfaceDescriptions() = 0;
};

// Low Power Mode: the current value, and a change handler delivered on the owner's executor.
class LowPowerWatch {
  public:
    virtual ~LowPowerWatch() = default;
    virtual bool current() = 0;
    virtual void observe(std::function<void()> changed) = 0;
    virtual void stopObserving() = 0;
};

enum class ServiceLogLevel { info, notice };
using ServiceLog = std::function<void(ServiceLogLevel, const std::string&)>;

}  // namespace sorvanta
