#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/network_factory.h"

namespace sorvanta::testing {

// Fakes of the network objects for tests of their owners. A test scripts what the kernel would
// report (states, paths, viability, received bytes and errors, accepted connections, browse
// results) and reads back what the owner did (started, cancelled, the bytes it sent). Every
// handler is delivered by posting to the object's executor, never inside the call that caused
// it, and none after the owner's cancel(), as the real objects do. Script calls may come from
// any thread.

class FakeTcpConnection final : public TcpConnection,
                                public std::enable_shared_from_this<FakeTcpConnection> {
  public:
    FakeTcpConnection(NetworkExecutor executor, Endpoint remote, NetworkParameters parameters);

    void setStateHandler(StateHandler handler) override;
    void setPathHandler(PathHandler handler) override;
    void setViabilityHandler(ViabilityHandler handler) override;
    void start() override;
    void start(NetworkExecutor executor) override;
    using TcpConnection::send;
    void send(std::shared_ptr<const Bytes> data, SendCompletion completion) override;
    void receive(std::size_t minimum, std::size_t maximum, ReceiveCompletion completion) override;
    void cancel() override;
    TransportState state() const override;
    std::optional<NetworkPath> currentPath() const override;
    const Endpoint& endpoint() const override { return remote_; }
    PendingTransferReport startDataTransferReport() override;
    std::optional<NetworkInterface> pathInterface() const override;
    std::optional<TransferCounters> readTransferCounters() const override;

    // Script.
    void setState(const TransportState& state);
    void setPath(const NetworkPath& path);
    void setViability(bool viable);
    // Bytes from the peer; `complete` ends the stream after them.
    void deliver(const Bytes& bytes, bool complete = false);
    // Fails the outstanding receive (now or when it comes) with `error`.
    void failReceive(PlatformError error);
    // Completes later sends with this error (none: success).
    void setSendError(std::optional<PlatformError> error);
    void setTransferCounters(std::optional<TransferCounters> counters);

    // Record.
    const NetworkParameters& parameters() const { return parameters_; }
    bool started() const;
    bool cancelled() const;
    std::vector<Bytes> sends() const;
    std::string sentText() const;  // every sent byte, in order
    bool receivePending() const;

  private:
    void post(std::function<void()> action);
    void serveReceive(std::unique_lock<std::mutex>& lock);

    const Endpoint remote_;
    const NetworkParameters parameters_;
    mutable std::mutex mutex_;
    NetworkExecutor executor_;
    StateHandler stateHandler_;
    PathHandler pathHandler_;
    ViabilityHandler viabilityHandler_;
    TransportState state_;
    std::optional<NetworkPath> path_;
    bool started_ = false;
    bool cancelled_ = false;
    std::vector<Bytes> sends_;
    std::optional<PlatformError> sendError_;
    Bytes inbound_;
    bool ended_ = false;
    std::optional<PlatformError> receiveError_;
    std::size_t minimum_ = 0, maximum_ = 0;
    ReceiveCompletion receive_;
    std::optional<TransferCounters> counters_;
};

class FakeTcpListener final : public TcpListener,
                              public std::enable_shared_from_this<FakeTcpListener> {
  public:
    FakeTcpListener(NetworkExecutor executor, NetworkParameters parameters, std::uint16_t port)
        : executor_(std::move(executor)), parameters_(std::move(parameters)), port_(port) {}

    void setStateHandler(StateHandler handler) override;
    void setNewConnectionHandler(ConnectionHandler handler) override;
    void start() override;
    void cancel() override;
    ListenerState state() const override;
    std::uint16_t port() const override;

    void setState(const ListenerState& state);
    void accept(std::shared_ptr<TcpConnection> connection);

    const NetworkParameters& parameters() const { return parameters_; }
    std::uint16_t requestedPort() const { return port_; }
    bool started() const;
    bool cancelled() const;

  private:
    NetworkExecutor executor_;
    const NetworkParameters parameters_;
    const std::uint16_t port_;
    mutable std::mutex mutex_;
    StateHandler stateHandler_;
    ConnectionHandler connectionHandler_;
    ListenerState state_;
    bool started_ = false;
    bool cancelled_ = false;
};

class FakeAdvertisedListener final : public AdvertisedListener,
                                     public std::enable_shared_from_this<FakeAdvertisedListener> {
  public:
    FakeAdvertisedListener(NetworkExecutor executor, NetworkParameters parameters, Service service)
        : executor_(std::move(executor)),
          parameters_(std::move(parameters)),
          service_(std::move(service)) {}

    void setStateHandler(StateHandler handler) override;
    void setNewConnectionHandler(ConnectionHandler handler) override;
    void setRegistrationHandler(RegistrationHandler handler) override;
    void start() override;
    void cancel() override;
    ListenerState state() const override;
    std::uint16_t port() const override;

    void setState(const ListenerState& state);
    void accept(std::shared_ptr<TcpConnection> connection);
    void registration(const DnssdRegistrationChange& change);

    const NetworkParameters& parameters() const { return parameters_; }
    const Service& service() const { return service_; }
    bool started() const;
    bool cancelled() const;

  private:
    NetworkExecutor executor_;
    const NetworkParameters parameters_;
    const Service service_;
    mutable std::mutex mutex_;
    StateHandler stateHandler_;
    ConnectionHandler connectionHandler_;
    RegistrationHandler registrationHandler_;
    ListenerState state_;
    bool started_ = false;
    bool cancelled_ = false;
};

class FakeUdpConnection final : public UdpConnection,
                                public std::enable_shared_from_this<FakeUdpConnection> {
  public:
    FakeUdpConnection(NetworkExecutor executor, Endpoint remote, NetworkParameters parameters)
        : remote_(std::move(remote)),
          parameters_(std::move(parameters)),
          executor_(std::move(executor)) {}

    void setStateHandler(StateHandler handler) override;
    void setPathHandler(PathHandler handler) override;
    void setViabilityHandler(ViabilityHandler handler) override;
    void start() override;
    void cancel() override;
    void send(std::shared_ptr<const Bytes> datagram, SendCompletion completion) override;
    void batch(const std::function<void()>& sends) override;
    void receiveMessage(ReceiveCompletion completion) override;
    TransportState state() const override;
    std::optional<NetworkPath> currentPath() const override;
    const Endpoint& endpoint() const override { return remote_; }
    std::uint64_t receiveQueueDrops() const override;
    int receiveBufferSize() const override { return 8 * 1024 * 1024; }
    int sendBufferSize() const override { return 8 * 1024 * 1024; }

    void setState(const TransportState& state);
    void setPath(const NetworkPath& path);
    void setViability(bool viable);
    // One datagram from the peer (kept until a receive takes it), or an error for the next
    // receive.
    void deliver(const Bytes& datagram, Clock::time_point arrival = Clock::now());
    void failReceive(PlatformError error);
    void setSendError(std::optional<PlatformError> error);
    void setReceiveQueueDrops(std::uint64_t drops);

    const NetworkParameters& parameters() const { return parameters_; }
    bool started() const;
    bool cancelled() const;
    std::vector<Bytes> sends() const;
    std::size_t batches() const;
    std::size_t receivesPending() const;

  private:
    struct Arrival {
        Bytes content;
        Clock::time_point at;
        std::optional<PlatformError> error;
    };
    void post(std::function<void()> action);
    void serve(std::unique_lock<std::mutex>& lock);

    const Endpoint remote_;
    const NetworkParameters parameters_;
    mutable std::mutex mutex_;
    NetworkExecutor executor_;
    StateHandler stateHandler_;
    PathHandler pathHandler_;
    ViabilityHandler viabilityHandler_;
    TransportState state_;
    std::optional<NetworkPath> path_;
    bool started_ = false;
    bool cancelled_ = false;
    std::vector<Bytes> sends_;
    std::size_t batches_ = 0;
    std::optional<PlatformError> sendError_;
    std::deque<Arrival> arrivals_;
    std::deque<ReceiveCompletion> receives_;
    std::uint64_t drops_ = 0;
};

class FakeUdpListener final : public UdpListener,
                              public std::enable_shared_from_this<FakeUdpListener> {
  public:
    FakeUdpListener(NetworkExecutor executor, NetworkParameters parameters, std::uint16_t port)
        : executor_(std::move(executor)), parameters_(std::move(parameters)), port_(port) {}

    void setStateHandler(StateHandler handler) override;
    void setNewFlowHandler(FlowHandler handler) override;
    void start() override;
    void cancel() override;
    ListenerState state() const override;
    std::uint16_t port() const override;

    void setState(const ListenerState& state);
    void flow(std::shared_ptr<UdpConnection> connection);

    const NetworkParameters& parameters() const { return parameters_; }
    std::uint16_t requestedPort() const { return port_; }
    bool started() const;
    bool cancelled() const;

  private:
    NetworkExecutor executor_;
    const NetworkParameters parameters_;
    const std::uint16_t port_;
    mutable std::mutex mutex_;
    StateHandler stateHandler_;
    FlowHandler flowHandler_;
    ListenerState state_;
    bool started_ = false;
    bool cancelled_ = false;
};

class FakePathMonitor final : public PathMonitor,
                              public std::enable_shared_from_this<FakePathMonitor> {
  public:
    FakePathMonitor(NetworkExecutor executor, std::optional<InterfaceType> requiredType)
        : executor_(std::move(executor)), requiredType_(requiredType) {}

    void setUpdateHandler(UpdateHandler handler) override;
    void start() override;
    void cancel() override;
    std::optional<NetworkPath> currentPath() const override;

    void setPath(const NetworkPath& path);

    std::optional<InterfaceType> requiredType() const { return requiredType_; }
    bool started() const;
    bool cancelled() const;

  private:
    NetworkExecutor executor_;
    const std::optional<InterfaceType> requiredType_;
    mutable std::mutex mutex_;
    UpdateHandler handler_;
    std::optional<NetworkPath> path_;
    bool started_ = false;
    bool cancelled_ = false;
};

class FakeDnssdBrowser final : public DnssdBrowser,
                               public std::enable_shared_from_this<FakeDnssdBrowser> {
  public:
    FakeDnssdBrowser(NetworkExecutor executor, Options options)
        : executor_(std::move(executor)), options_(std::move(options)) {}

    void setStateHandler(StateHandler handler) override;
    void setResultsHandler(ResultsHandler handler) override;
    void start() override;
    void cancel() override;
    std::uint64_t malformedPackets() const override { return 0; }

    void setState(const DnssdState& state);
    void setResults(const std::vector<DnssdBrowseResult>& results);

    const Options& options() const { return options_; }
    bool started() const;
    bool cancelled() const;

  private:
    NetworkExecutor executor_;
    const Options options_;
    mutable std::mutex mutex_;
    StateHandler stateHandler_;
    ResultsHandler resultsHandler_;
    bool started_ = false;
    bool cancelled_ = false;
};

// Ticks only when the test calls fire(), on the test's thread (the real timer ticks on a
// thread of its own, not on an executor).
class FakePreciseTimer final : public PreciseTimer {
  public:
    FakePreciseTimer(std::chrono::nanoseconds period, std::function<void()> tick)
        : period_(period), tick_(std::move(tick)) {}

    void start() override;
    void cancel() override;
    std::chrono::nanoseconds period() const override { return period_; }
    std::uint64_t coalescedTicks() const override { return 0; }

    // Runs the tick `count` times while started and not cancelled; returns how many ran.
    int fire(int count = 1);

    bool started() const;
    bool cancelled() const;

  private:
    const std::chrono::nanoseconds period_;
    std::function<void()> tick_;
    mutable std::mutex mutex_;
    bool started_ = false;
    bool cancelled_ = false;
};

// Makes fakes and keeps each one, in the order made, for the test to script.
class FakeNetworkFactory final : public NetworkFactory {
  public:
    struct Browsed {
        DnssdEndpoint endpoint;
        std::shared_ptr<FakeTcpConnection> connection;
    };

    std::shared_ptr<TcpConnection> makeTcpConnection(NetworkExecutor executor, Endpoint remote,
                                                     NetworkParameters parameters) override;
    std::shared_ptr<TcpConnection> makeBrowsedConnection(NetworkExecutor executor,
                                                         const DnssdEndpoint& endpoint,
                                                         NetworkParameters parameters) override;
    std::shared_ptr<TcpListener> makeTcpListener(NetworkExecutor executor,
                                                 NetworkParameters parameters,
                                                 std::uint16_t port) override;
    std::shared_ptr<AdvertisedListener> makeAdvertisedListener(
        NetworkExecutor executor, NetworkParameters parameters,
        AdvertisedListener::Service service) override;
    std::shared_ptr<UdpConnection> makeUdpConnection(NetworkExecutor executor, Endpoint remote,
                                                     NetworkParameters parameters) override;
    std::shared_ptr<UdpListener> makeUdpListener(NetworkExecutor executor,
                                                 NetworkParameters parameters,
                                                 std::uint16_t port) override;
    std::shared_ptr<PathMonitor> makePathMonitor(
        NetworkExecutor executor, std::optional<InterfaceType> requiredType) override;
    std::shared_ptr<DnssdBrowser> makeBrowser(NetworkExecutor executor,
                                              DnssdBrowser::Options options) override;
    std::shared_ptr<PreciseTimer> makePreciseTimer(std::chrono::nanoseconds period,
                                                   std::function<void()> tick) override;

    // Everything made so far, per kind, in order ("tcp", "browsed", "tcpListener", …).
    std::vector<std::shared_ptr<FakeTcpConnection>> tcpConnections() const;
    std::vector<Browsed> browsedConnections() const;
    std::vector<std::shared_ptr<FakeTcpListener>> tcpListeners() const;
    std::vector<std::shared_ptr<FakeAdvertisedListener>> advertisedListeners() const;
    std::vector<std::shared_ptr<FakeUdpConnection>> udpConnections() const;
    std::vector<std::shared_ptr<FakeUdpListener>> udpListeners() const;
    std::vector<std::shared_ptr<FakePathMonitor>> pathMonitors() const;
    std::vector<std::shared_ptr<FakeDnssdBrowser>> browsers() const;
    std::vector<std::shared_ptr<FakePreciseTimer>> timers() const;
    // The kinds made, in order across all kinds.
    std::vector<std::string> log() const;

  private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<FakeTcpConnection>> tcp_;
    std::vector<Browsed> browsed_;
    std::vector<std::shared_ptr<FakeTcpListener>> tcpListeners_;
    std::vector<std::shared_ptr<FakeAdvertisedListener>> advertised_;
    std::vector<std::shared_ptr<FakeUdpConnection>> udp_;
    std::vector<std::shared_ptr<FakeUdpListener>> udpListeners_;
    std::vector<std::shared_ptr<FakePathMonitor>> monitors_;
    std::vector<std::shared_ptr<FakeDnssdBrowser>> browsers_;
    std::vector<std::shared_ptr<FakePreciseTimer>> timers_;
    std::vector<std::string> log_;
};

}  // namespace sorvanta::testing
