#pragma once

#include <asio/post.hpp>
#include <atomic>
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

// What every fake shares: its executor, its lock, the started and cancelled flags, and
// delivery by posting.
template <class Self>
class FakeBase : public std::enable_shared_from_this<Self> {
  public:
    bool started() const { return get(started_); }
    bool cancelled() const { return get(cancelled_); }

  protected:
    explicit FakeBase(NetworkExecutor executor) : executor_(std::move(executor)) {}

    template <class T>
    T get(const T& field) const {
        std::lock_guard lock(mutex_);
        return field;
    }
    template <class T>
    void put(T& field, T value) {
        std::lock_guard lock(mutex_);
        field = std::move(value);
    }
    // Posts `action`; it runs only if the fake has not been cancelled by then.
    void post(std::function<void()> action) {
        asio::post(get(executor_), [self = this->shared_from_this(), action = std::move(action)] {
            if (!self->cancelled()) {
                action();
            }
        });
    }
    // Posts a call of the handler held in `member` (as set when it runs) with `value`.
    template <class Handler, class Value>
    void deliver(Handler Self::*member, Value value) {
        post([self = this->shared_from_this(), member, value = std::move(value)] {
            const Handler handler = self->get((*self).*member);
            if (handler) {
                handler(value);
            }
        });
    }

    mutable std::mutex mutex_;
    NetworkExecutor executor_;
    bool started_ = false;
    bool cancelled_ = false;
};

// A listener's scripted state and the part of the listener interface every listener shares
// (`Interface` is TcpListener, AdvertisedListener or UdpListener); cancelled once the owner
// cancelled.
template <class Self, class Interface>
class FakeListenerBase : public Interface, public FakeBase<Self> {
  public:
    using typename Interface::StateHandler;

    void setStateHandler(StateHandler handler) override {
        this->put(stateHandler_, std::move(handler));
    }
    void start() override { this->put(this->started_, true); }
    void cancel() override {
        std::lock_guard lock(this->mutex_);
        this->cancelled_ = true;
        state_ = {ListenerState::Kind::cancelled, {}, 0};
    }
    ListenerState state() const override { return this->get(state_); }
    std::uint16_t port() const override {
        const auto s = state();
        return s.kind == ListenerState::Kind::ready ? s.port : 0;
    }

    // Script.
    void setState(const ListenerState& state) {
        this->put(state_, state);
        this->deliver(static_cast<StateHandler Self::*>(&FakeListenerBase::stateHandler_), state);
    }

  protected:
    using FakeBase<Self>::FakeBase;
    ListenerState state_;
    StateHandler stateHandler_;
};

// A connection's scripted state, path and viability and the part of the connection
// interface both connections share (`Interface` is TcpConnection or UdpConnection).
template <class Self, class Interface>
class FakeConnectionBase : public Interface, public FakeBase<Self> {
  public:
    using typename Interface::PathHandler;
    using typename Interface::StateHandler;
    using typename Interface::ViabilityHandler;

    void setStateHandler(StateHandler handler) override {
        this->put(stateHandler_, std::move(handler));
    }
    void setPathHandler(PathHandler handler) override {
        this->put(pathHandler_, std::move(handler));
    }
    void setViabilityHandler(ViabilityHandler handler) override {
        this->put(viabilityHandler_, std::move(handler));
    }
    void start() override { this->put(this->started_, true); }
    TransportState state() const override { return this->get(state_); }
    std::optional<NetworkPath> currentPath() const override { return this->get(path_); }
    const Endpoint& endpoint() const override { return remote_; }

    // Script.
    void setState(const TransportState& state) {
        this->put(state_, state);
        this->deliver(static_cast<StateHandler Self::*>(&FakeConnectionBase::stateHandler_), state);
    }
    void setPath(const NetworkPath& path) {
        this->put(path_, std::optional(path));
        this->deliver(static_cast<PathHandler Self::*>(&FakeConnectionBase::pathHandler_), path);
    }
    void setViability(bool viable) {
        this->deliver(static_cast<ViabilityHandler Self::*>(&FakeConnectionBase::viabilityHandler_),
                      viable);
    }

    // Record.
    const NetworkParameters& parameters() const { return parameters_; }

  protected:
    FakeConnectionBase(NetworkExecutor executor, Endpoint remote, NetworkParameters parameters)
        : FakeBase<Self>(std::move(executor)),
          remote_(std::move(remote)),
          parameters_(std::move(parameters)) {}

    const Endpoint remote_;
    const NetworkParameters parameters_;
    StateHandler stateHandler_;
    PathHandler pathHandler_;
    ViabilityHandler viabilityHandler_;
    TransportState state_;
    std::optional<NetworkPath> path_;
};

class FakeTcpConnection final : public FakeConnectionBase<FakeTcpConnection, TcpConnection> {
  public:
    FakeTcpConnection(NetworkExecutor executor, Endpoint remote, NetworkParameters parameters)
        : FakeConnectionBase(std::move(executor), std::move(remote), std::move(parameters)) {}

    using FakeConnectionBase::start;
    void start(NetworkExecutor executor) override {
        put(executor_, std::move(executor));
        start();
    }
    using TcpConnection::send;
    void send(std::shared_ptr<const Bytes> data, SendCompletion completion) override;
    void receive(std::size_t minimum, std::size_t maximum, ReceiveCompletion completion) override;
    void cancel() override;
    PendingTransferReport startDataTransferReport() override;
    std::optional<NetworkInterface> pathInterface() const override;
    std::optional<TransferCounters> readTransferCounters() const override { return get(counters_); }

    // Script.
    // Bytes from the peer; `complete` ends the stream after them.
    void deliver(const Bytes& bytes, bool complete = false);
    // Fails the outstanding receive (now or when it comes) with `error`.
    void failReceive(PlatformError error);
    // Completes later sends with this error (none: success).
    void setSendError(std::optional<PlatformError> error) { put(sendError_, error); }
    void setTransferCounters(std::optional<TransferCounters> counters) { put(counters_, counters); }

    // Record.
    std::vector<Bytes> sends() const { return get(sends_); }
    std::string sentText() const;  // every sent byte, in order
    bool receivePending() const { return static_cast<bool>(get(receive_)); }

  private:
    friend class FakeBase<FakeTcpConnection>;
    friend class FakeConnectionBase<FakeTcpConnection, TcpConnection>;
    using FakeBase::deliver;
    void serveReceive(std::unique_lock<std::mutex>& lock);

    std::vector<Bytes> sends_;
    std::optional<PlatformError> sendError_;
    Bytes inbound_;
    bool ended_ = false;
    std::optional<PlatformError> receiveError_;
    std::size_t minimum_ = 0, maximum_ = 0;
    ReceiveCompletion receive_;
    std::optional<TransferCounters> counters_;
};

class FakeTcpListener final : public FakeListenerBase<FakeTcpListener, TcpListener> {
  public:
    FakeTcpListener(NetworkExecutor executor, NetworkParameters parameters, std::uint16_t port)
        : FakeListenerBase(std::move(executor)), parameters_(std::move(parameters)), port_(port) {}

    void setNewConnectionHandler(ConnectionHandler handler) override {
        put(connectionHandler_, std::move(handler));
    }

    void accept(std::shared_ptr<TcpConnection> connection) {
        deliver(&FakeTcpListener::connectionHandler_, std::move(connection));
    }

    const NetworkParameters& parameters() const { return parameters_; }
    std::uint16_t requestedPort() const { return port_; }

  private:
    friend class FakeBase<FakeTcpListener>;
    friend class FakeListenerBase<FakeTcpListener, TcpListener>;
    const NetworkParameters parameters_;
    const std::uint16_t port_;
    ConnectionHandler connectionHandler_;
};

class FakeAdvertisedListener final
    : public FakeListenerBase<FakeAdvertisedListener, AdvertisedListener> {
  public:
    FakeAdvertisedListener(NetworkExecutor executor, NetworkParameters parameters, Service service)
        : FakeListenerBase(std::move(executor)),
          parameters_(std::move(parameters)),
          service_(std::move(service)) {}

    void setNewConnectionHandler(ConnectionHandler handler) override {
        put(connectionHandler_, std::move(handler));
    }
    void setRegistrationHandler(RegistrationHandler handler) override {
        put(registrationHandler_, std::move(handler));
    }

    void accept(std::shared_ptr<TcpConnection> connection) {
        deliver(&FakeAdvertisedListener::connectionHandler_, std::move(connection));
    }
    void registration(const DnssdRegistrationChange& change) {
        deliver(&FakeAdvertisedListener::registrationHandler_, change);
    }

    const NetworkParameters& parameters() const { return parameters_; }
    const Service& service() const { return service_; }

  private:
    friend class FakeBase<FakeAdvertisedListener>;
    friend class FakeListenerBase<FakeAdvertisedListener, AdvertisedListener>;
    const NetworkParameters parameters_;
    const Service service_;
    ConnectionHandler connectionHandler_;
    RegistrationHandler registrationHandler_;
};

class FakeUdpConnection final : public FakeConnectionBase<FakeUdpConnection, UdpConnection> {
  public:
    FakeUdpConnection(NetworkExecutor executor, Endpoint remote, NetworkParameters parameters)
        : FakeConnectionBase(std::move(executor), std::move(remote), std::move(parameters)) {}

    void cancel() override;
    void send(std::shared_ptr<const Bytes> datagram, SendCompletion completion) override;
    void batch(const std::function<void()>& sends) override;
    void receiveMessage(ReceiveCompletion completion) override;
    std::uint64_t receiveQueueDrops() const override { return get(drops_); }
    int receiveBufferSize() const override { return 8 * 1024 * 1024; }
    int sendBufferSize() const override { return 8 * 1024 * 1024; }

    // One datagram from the peer (kept until a receive takes it), or an error for the next
    // receive. The datagram was queued after the receive-queue drops set so far.
    void deliver(const Bytes& datagram, Clock::time_point arrival = Clock::now());
    void failReceive(PlatformError error);
    void setSendError(std::optional<PlatformError> error) { put(sendError_, error); }
    void setReceiveQueueDrops(std::uint64_t drops) { put(drops_, drops); }

    std::vector<Bytes> sends() const { return get(sends_); }
    std::size_t batches() const { return get(batches_); }
    std::size_t receivesPending() const { return get(receives_).size(); }

  private:
    friend class FakeBase<FakeUdpConnection>;
    friend class FakeConnectionBase<FakeUdpConnection, UdpConnection>;
    using FakeBase::deliver;
    struct Arrival {
        Bytes content;
        Clock::time_point at;
        std::uint64_t queueDrops = 0;
        std::optional<PlatformError> error;
    };
    void arrive(std::optional<Arrival> arrival);

    std::vector<Bytes> sends_;
    std::size_t batches_ = 0;
    std::optional<PlatformError> sendError_;
    std::deque<Arrival> arrivals_;
    std::deque<ReceiveCompletion> receives_;
    std::uint64_t drops_ = 0;
};

class FakeUdpListener final : public FakeListenerBase<FakeUdpListener, UdpListener> {
  public:
    FakeUdpListener(NetworkExecutor executor, NetworkParameters parameters, std::uint16_t port)
        : FakeListenerBase(std::move(executor)), parameters_(std::move(parameters)), port_(port) {}

    void setNewFlowHandler(FlowHandler handler) override { put(flowHandler_, std::move(handler)); }

    void flow(std::shared_ptr<UdpConnection> connection) {
        deliver(&FakeUdpListener::flowHandler_, std::move(connection));
    }

    const NetworkParameters& parameters() const { return parameters_; }
    std::uint16_t requestedPort() const { return port_; }

  private:
    friend class FakeBase<FakeUdpListener>;
    friend class FakeListenerBase<FakeUdpListener, UdpListener>;
    const NetworkParameters parameters_;
    const std::uint16_t port_;
    FlowHandler flowHandler_;
};

class FakePathMonitor final : public PathMonitor, public FakeBase<FakePathMonitor> {
  public:
    FakePathMonitor(NetworkExecutor executor, std::optional<InterfaceType> requiredType)
        : FakeBase(std::move(executor)), requiredType_(requiredType) {}

    void setUpdateHandler(UpdateHandler handler) override { put(handler_, std::move(handler)); }
    void start() override { put(started_, true); }
    void cancel() override { put(cancelled_, true); }
    std::optional<NetworkPath> currentPath() const override { return get(path_); }

    void setPath(const NetworkPath& path) {
        put(path_, std::optional(path));
        deliver(&FakePathMonitor::handler_, path);
    }

    std::optional<InterfaceType> requiredType() const { return requiredType_; }

  private:
    friend class FakeBase<FakePathMonitor>;
    const std::optional<InterfaceType> requiredType_;
    UpdateHandler handler_;
    std::optional<NetworkPath> path_;
};

class FakeDnssdBrowser final : public DnssdBrowser, public FakeBase<FakeDnssdBrowser> {
  public:
    FakeDnssdBrowser(NetworkExecutor executor, Options options)
        : FakeBase(std::move(executor)), options_(std::move(options)) {}

    void setStateHandler(StateHandler handler) override { put(stateHandler_, std::move(handler)); }
    void setResultsHandler(ResultsHandler handler) override {
        put(resultsHandler_, std::move(handler));
    }
    void start() override { put(started_, true); }
    void cancel() override { put(cancelled_, true); }
    void reconfirm(const DnssdEndpoint& endpoint) override {
        std::lock_guard lock(this->mutex_);
        reconfirmed_.push_back(endpoint.text());
    }
    std::uint64_t malformedPackets() const override { return 0; }

    // The endpoint texts reconfirmed so far, in order.
    std::vector<std::string> reconfirmed() const {
        std::lock_guard lock(this->mutex_);
        return reconfirmed_;
    }

    void setState(const DnssdState& state) { deliver(&FakeDnssdBrowser::stateHandler_, state); }
    void setResults(const std::vector<DnssdBrowseResult>& results) {
        deliver(&FakeDnssdBrowser::resultsHandler_, results);
    }

    const Options& options() const { return options_; }

  private:
    friend class FakeBase<FakeDnssdBrowser>;
    const Options options_;
    std::vector<std::string> reconfirmed_;
    StateHandler stateHandler_;
    ResultsHandler resultsHandler_;
};

// Ticks only when the test calls fire(), on the test's thread (the real timer ticks on a
// thread of its own, not on an executor).
class FakePreciseTimer final : public PreciseTimer {
  public:
    FakePreciseTimer(std::chrono::nanoseconds period, std::function<void()> tick)
        : period_(period), tick_(std::move(tick)) {}

    void start() override { started_ = true; }
    void cancel() override { cancelled_ = true; }
    void setExact(bool exact) override { exact_ = exact; }
    void setPrompt(bool prompt) override { prompt_ = prompt; }
    std::chrono::nanoseconds period() const override { return period_; }
    std::uint64_t coalescedTicks() const override { return 0; }
    std::chrono::steady_clock::time_point currentDeadline() const override { return {}; }

    // Runs the tick `count` times while started and not cancelled; returns how many ran.
    int fire(int count = 1) {
        int ran = 0;
        for (; ran < count && started_ && !cancelled_; ++ran) {
            tick_();
        }
        return ran;
    }

    bool started() const { return started_; }
    bool cancelled() const { return cancelled_; }
    bool exact() const { return exact_; }
    bool prompt() const { return prompt_; }

  private:
    const std::chrono::nanoseconds period_;
    std::function<void()> tick_;
    std::atomic<bool> started_{false};
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> exact_{false};
    std::atomic<bool> prompt_{false};
};

// Makes fakes and keeps each one, in the order made, for the test to script.
class FakeNetworkFactory final : public NetworkFactory {
  public:
    struct Browsed {
        DnssdEndpoint endpoint;
        std::shared_ptr<FakeTcpConnection> connection;
    };

    std::shared_ptr<TcpConnection> makeTcpConnection(NetworkExecutor executor, Endpoint remote,
                                                     NetworkParameters parameters) override {
        return keep(tcp_, "tcp", std::move(executor), std::move(remote), std::move(parameters));
    }
    std::shared_ptr<TcpConnection> makeBrowsedConnection(NetworkExecutor executor,
                                                         const DnssdEndpoint& endpoint,
                                                         NetworkParameters parameters) override;
    std::shared_ptr<TcpListener> makeTcpListener(NetworkExecutor executor,
                                                 NetworkParameters parameters,
                                                 std::uint16_t port) override {
        return keep(tcpListeners_, "tcpListener", std::move(executor), std::move(parameters), port);
    }
    std::shared_ptr<AdvertisedListener> makeAdvertisedListener(
        NetworkExecutor executor, NetworkParameters parameters,
        AdvertisedListener::Service service) override {
        return keep(advertised_, "advertisedListener", std::move(executor), std::move(parameters),
                    std::move(service));
    }
    std::shared_ptr<UdpConnection> makeUdpConnection(NetworkExecutor executor, Endpoint remote,
                                                     NetworkParameters parameters) override {
        return keep(udp_, "udp", std::move(executor), std::move(remote), std::move(parameters));
    }
    std::shared_ptr<UdpListener> makeUdpListener(NetworkExecutor executor,
                                                 NetworkParameters parameters,
                                                 std::uint16_t port) override {
        return keep(udpListeners_, "udpListener", std::move(executor), std::move(parameters), port);
    }
    std::shared_ptr<PathMonitor> makePathMonitor(
        NetworkExecutor executor, std::optional<InterfaceType> requiredType) override {
        return keep(monitors_, "pathMonitor", std::move(executor), requiredType);
    }
    std::shared_ptr<DnssdBrowser> makeBrowser(NetworkExecutor executor,
                                              DnssdBrowser::Options options) override {
        return keep(browsers_, "browser", std::move(executor), std::move(options));
    }
    std::shared_ptr<PreciseTimer> makePreciseTimer(std::chrono::nanoseconds period,
                                                   std::function<void()> tick) override {
        return keep(timers_, "preciseTimer", period, std::move(tick));
    }

    // Everything made so far, per kind, in order.
    std::vector<std::shared_ptr<FakeTcpConnection>> tcpConnections() const { return get(tcp_); }
    std::vector<Browsed> browsedConnections() const { return get(browsed_); }
    std::vector<std::shared_ptr<FakeTcpListener>> tcpListeners() const {
        return get(tcpListeners_);
    }
    std::vector<std::shared_ptr<FakeAdvertisedListener>> advertisedListeners() const {
        return get(advertised_);
    }
    std::vector<std::shared_ptr<FakeUdpConnection>> udpConnections() const { return get(udp_); }
    std::vector<std::shared_ptr<FakeUdpListener>> udpListeners() const {
        return get(udpListeners_);
    }
    std::vector<std::shared_ptr<FakePathMonitor>> pathMonitors() const { return get(monitors_); }
    std::vector<std::shared_ptr<FakeDnssdBrowser>> browsers() const { return get(browsers_); }
    std::vector<std::shared_ptr<FakePreciseTimer>> timers() const { return get(timers_); }
    // The kinds made, in order across all kinds ("tcp", "browsed", "tcpListener", …).
    std::vector<std::string> log() const { return get(log_); }

  private:
    template <class T, class... Args>
    std::shared_ptr<T> keep(std::vector<std::shared_ptr<T>>& made, const char* kind,
                            Args&&... args) {
        auto fake = std::make_shared<T>(std::forward<Args>(args)...);
        std::lock_guard lock(mutex_);
        made.push_back(fake);
        log_.emplace_back(kind);
        return fake;
    }
    template <class T>
    T get(const T& field) const {
        std::lock_guard lock(mutex_);
        return field;
    }

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
