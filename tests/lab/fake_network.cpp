#include "lab/fake_network.h"

#include <algorithm>
#include <asio/post.hpp>

namespace sorvanta::testing {

namespace {

// Posts `action` to `executor`; it runs only if `object` has not been cancelled by then.
template <class Object>
void postUnlessCancelled(const NetworkExecutor& executor, std::shared_ptr<Object> object,
                         std::function<void()> action) {
    asio::post(executor, [object = std::move(object), action = std::move(action)] {
        if (!object->cancelled()) {
            action();
        }
    });
}

}  // namespace

// --- FakeTcpConnection -----------------------------------------------------------------------

FakeTcpConnection::FakeTcpConnection(NetworkExecutor executor, Endpoint remote,
                                     NetworkParameters parameters)
    : remote_(std::move(remote)),
      parameters_(std::move(parameters)),
      executor_(std::move(executor)) {}

void FakeTcpConnection::post(std::function<void()> action) {
    NetworkExecutor executor;
    {
        std::lock_guard lock(mutex_);
        executor = executor_;
    }
    postUnlessCancelled(executor, shared_from_this(), std::move(action));
}

void FakeTcpConnection::setStateHandler(StateHandler handler) {
    std::lock_guard lock(mutex_);
    stateHandler_ = std::move(handler);
}
void FakeTcpConnection::setPathHandler(PathHandler handler) {
    std::lock_guard lock(mutex_);
    pathHandler_ = std::move(handler);
}
void FakeTcpConnection::setViabilityHandler(ViabilityHandler handler) {
    std::lock_guard lock(mutex_);
    viabilityHandler_ = std::move(handler);
}

void FakeTcpConnection::start() {
    std::lock_guard lock(mutex_);
    started_ = true;
}

void FakeTcpConnection::start(NetworkExecutor executor) {
    {
        std::lock_guard lock(mutex_);
        executor_ = std::move(executor);
    }
    start();
}

void FakeTcpConnection::send(std::shared_ptr<const Bytes> data, SendCompletion completion) {
    std::optional<PlatformError> error;
    {
        std::lock_guard lock(mutex_);
        if (data) {
            sends_.push_back(*data);
        }
        error = sendError_;
    }
    if (completion) {
        post([completion = std::move(completion), error] { completion(error); });
    }
}

void FakeTcpConnection::receive(std::size_t minimum, std::size_t maximum,
                                ReceiveCompletion completion) {
    if (maximum == 0 || minimum > maximum) {
        post([completion = std::move(completion)] {
            completion({}, false, PlatformError::posix(EINVAL));
        });
        return;
    }
    std::unique_lock lock(mutex_);
    minimum_ = minimum;
    maximum_ = maximum;
    receive_ = std::move(completion);
    serveReceive(lock);
}

void FakeTcpConnection::serveReceive(std::unique_lock<std::mutex>& lock) {
    if (!receive_) {
        return;
    }
    const bool enough = inbound_.size() >= minimum_;
    if (!enough && !ended_ && !receiveError_) {
        return;
    }
    const std::size_t take = std::min(inbound_.size(), maximum_);
    Bytes data(inbound_.begin(), inbound_.begin() + static_cast<std::ptrdiff_t>(take));
    inbound_.erase(inbound_.begin(), inbound_.begin() + static_cast<std::ptrdiff_t>(take));
    std::optional<PlatformError> error;
    if (!enough && receiveError_) {
        error = receiveError_;
        receiveError_.reset();
    }
    const bool complete = ended_ && inbound_.empty() && !error;
    auto completion = std::move(receive_);
    receive_ = nullptr;
    lock.unlock();
    post([completion = std::move(completion), data = std::move(data), complete, error] {
        completion(data, complete, error);
    });
    lock.lock();
}

void FakeTcpConnection::cancel() {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    state_ = {TransportState::Kind::cancelled, {}};
}

TransportState FakeTcpConnection::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

std::optional<NetworkPath> FakeTcpConnection::currentPath() const {
    std::lock_guard lock(mutex_);
    return path_;
}

PendingTransferReport FakeTcpConnection::startDataTransferReport() {
    std::lock_guard lock(mutex_);
    return PendingTransferReport(weak_from_this(), executor_, std::chrono::steady_clock::now(),
                                 counters_);
}

std::optional<NetworkInterface> FakeTcpConnection::pathInterface() const {
    std::lock_guard lock(mutex_);
    if (path_ && !path_->availableInterfaces.empty()) {
        return path_->availableInterfaces.front();
    }
    return parameters_.requiredInterface;
}

std::optional<TransferCounters> FakeTcpConnection::readTransferCounters() const {
    std::lock_guard lock(mutex_);
    return counters_;
}

void FakeTcpConnection::setState(const TransportState& state) {
    {
        std::lock_guard lock(mutex_);
        state_ = state;
    }
    post([self = shared_from_this(), state] {
        StateHandler handler;
        {
            std::lock_guard lock(self->mutex_);
            handler = self->stateHandler_;
        }
        if (handler) {
            handler(state);
        }
    });
}

void FakeTcpConnection::setPath(const NetworkPath& path) {
    {
        std::lock_guard lock(mutex_);
        path_ = path;
    }
    post([self = shared_from_this(), path] {
        PathHandler handler;
        {
            std::lock_guard lock(self->mutex_);
            handler = self->pathHandler_;
        }
        if (handler) {
            handler(path);
        }
    });
}

void FakeTcpConnection::setViability(bool viable) {
    post([self = shared_from_this(), viable] {
        ViabilityHandler handler;
        {
            std::lock_guard lock(self->mutex_);
            handler = self->viabilityHandler_;
        }
        if (handler) {
            handler(viable);
        }
    });
}

void FakeTcpConnection::deliver(const Bytes& bytes, bool complete) {
    std::unique_lock lock(mutex_);
    inbound_.insert(inbound_.end(), bytes.begin(), bytes.end());
    ended_ = ended_ || complete;
    serveReceive(lock);
}

void FakeTcpConnection::failReceive(PlatformError error) {
    std::unique_lock lock(mutex_);
    receiveError_ = error;
    serveReceive(lock);
}

void FakeTcpConnection::setSendError(std::optional<PlatformError> error) {
    std::lock_guard lock(mutex_);
    sendError_ = error;
}

void FakeTcpConnection::setTransferCounters(std::optional<TransferCounters> counters) {
    std::lock_guard lock(mutex_);
    counters_ = counters;
}

bool FakeTcpConnection::started() const {
    std::lock_guard lock(mutex_);
    return started_;
}
bool FakeTcpConnection::cancelled() const {
    std::lock_guard lock(mutex_);
    return cancelled_;
}
std::vector<FakeTcpConnection::Bytes> FakeTcpConnection::sends() const {
    std::lock_guard lock(mutex_);
    return sends_;
}
std::string FakeTcpConnection::sentText() const {
    std::lock_guard lock(mutex_);
    std::string text;
    for (const auto& s : sends_) {
        text.append(s.begin(), s.end());
    }
    return text;
}
bool FakeTcpConnection::receivePending() const {
    std::lock_guard lock(mutex_);
    return static_cast<bool>(receive_);
}

// --- listeners -------------------------------------------------------------------------------

#define SORVANTA_FAKE_FLAGS(Type)     \
    bool Type::started() const {      \
        std::lock_guard lock(mutex_); \
        return started_;              \
    }                                 \
    bool Type::cancelled() const {    \
        std::lock_guard lock(mutex_); \
        return cancelled_;            \
    }                                 \
    void Type::start() {              \
        std::lock_guard lock(mutex_); \
        started_ = true;              \
    }

#define SORVANTA_FAKE_SETTER(Type, Setter, Handler, member) \
    void Type::Setter(Handler handler) {                    \
        std::lock_guard lock(mutex_);                       \
        member = std::move(handler);                        \
    }

// Posts a call of `member` (read under the lock when it runs) with `args`.
#define SORVANTA_FAKE_DELIVER(member, ...)                                                        \
    postUnlessCancelled(executor_, shared_from_this(), [self = shared_from_this(), __VA_ARGS__] { \
        auto handler = [&] {                                                                      \
            std::lock_guard lock(self->mutex_);                                                   \
            return self->member;                                                                  \
        }();                                                                                      \
        if (handler) {                                                                            \
            handler(value);                                                                       \
        }                                                                                         \
    })

SORVANTA_FAKE_FLAGS(FakeTcpListener)
SORVANTA_FAKE_SETTER(FakeTcpListener, setStateHandler, StateHandler, stateHandler_)
SORVANTA_FAKE_SETTER(FakeTcpListener, setNewConnectionHandler, ConnectionHandler,
                     connectionHandler_)

void FakeTcpListener::cancel() {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    state_ = {ListenerState::Kind::cancelled, {}, 0};
}
ListenerState FakeTcpListener::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}
std::uint16_t FakeTcpListener::port() const {
    const auto s = state();
    return s.kind == ListenerState::Kind::ready ? s.port : 0;
}
void FakeTcpListener::setState(const ListenerState& value) {
    {
        std::lock_guard lock(mutex_);
        state_ = value;
    }
    SORVANTA_FAKE_DELIVER(stateHandler_, value);
}
void FakeTcpListener::accept(std::shared_ptr<TcpConnection> value) {
    SORVANTA_FAKE_DELIVER(connectionHandler_, value);
}

SORVANTA_FAKE_FLAGS(FakeAdvertisedListener)
SORVANTA_FAKE_SETTER(FakeAdvertisedListener, setStateHandler, StateHandler, stateHandler_)
SORVANTA_FAKE_SETTER(FakeAdvertisedListener, setNewConnectionHandler, ConnectionHandler,
                     connectionHandler_)
SORVANTA_FAKE_SETTER(FakeAdvertisedListener, setRegistrationHandler, RegistrationHandler,
                     registrationHandler_)

void FakeAdvertisedListener::cancel() {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    state_ = {ListenerState::Kind::cancelled, {}, 0};
}
ListenerState FakeAdvertisedListener::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}
std::uint16_t FakeAdvertisedListener::port() const {
    const auto s = state();
    return s.kind == ListenerState::Kind::ready ? s.port : 0;
}
void FakeAdvertisedListener::setState(const ListenerState& value) {
    {
        std::lock_guard lock(mutex_);
        state_ = value;
    }
    SORVANTA_FAKE_DELIVER(stateHandler_, value);
}
void FakeAdvertisedListener::accept(std::shared_ptr<TcpConnection> value) {
    SORVANTA_FAKE_DELIVER(connectionHandler_, value);
}
void FakeAdvertisedListener::registration(const DnssdRegistrationChange& value) {
    SORVANTA_FAKE_DELIVER(registrationHandler_, value);
}

SORVANTA_FAKE_FLAGS(FakeUdpListener)
SORVANTA_FAKE_SETTER(FakeUdpListener, setStateHandler, StateHandler, stateHandler_)
SORVANTA_FAKE_SETTER(FakeUdpListener, setNewFlowHandler, FlowHandler, flowHandler_)

void FakeUdpListener::cancel() {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    state_ = {ListenerState::Kind::cancelled, {}, 0};
}
ListenerState FakeUdpListener::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}
std::uint16_t FakeUdpListener::port() const {
    const auto s = state();
    return s.kind == ListenerState::Kind::ready ? s.port : 0;
}
void FakeUdpListener::setState(const ListenerState& value) {
    {
        std::lock_guard lock(mutex_);
        state_ = value;
    }
    SORVANTA_FAKE_DELIVER(stateHandler_, value);
}
void FakeUdpListener::flow(std::shared_ptr<UdpConnection> value) {
    SORVANTA_FAKE_DELIVER(flowHandler_, value);
}

// --- path monitor and browser ----------------------------------------------------------------

SORVANTA_FAKE_FLAGS(FakePathMonitor)
SORVANTA_FAKE_SETTER(FakePathMonitor, setUpdateHandler, UpdateHandler, handler_)

void FakePathMonitor::cancel() {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
}
std::optional<NetworkPath> FakePathMonitor::currentPath() const {
    std::lock_guard lock(mutex_);
    return path_;
}
void FakePathMonitor::setPath(const NetworkPath& value) {
    {
        std::lock_guard lock(mutex_);
        path_ = value;
    }
    SORVANTA_FAKE_DELIVER(handler_, value);
}

SORVANTA_FAKE_FLAGS(FakeDnssdBrowser)
SORVANTA_FAKE_SETTER(FakeDnssdBrowser, setStateHandler, StateHandler, stateHandler_)
SORVANTA_FAKE_SETTER(FakeDnssdBrowser, setResultsHandler, ResultsHandler, resultsHandler_)

void FakeDnssdBrowser::cancel() {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
}
void FakeDnssdBrowser::setState(const DnssdState& value) {
    SORVANTA_FAKE_DELIVER(stateHandler_, value);
}
void FakeDnssdBrowser::setResults(const std::vector<DnssdBrowseResult>& value) {
    SORVANTA_FAKE_DELIVER(resultsHandler_, value);
}

// --- FakeUdpConnection -----------------------------------------------------------------------

SORVANTA_FAKE_FLAGS(FakeUdpConnection)
SORVANTA_FAKE_SETTER(FakeUdpConnection, setStateHandler, StateHandler, stateHandler_)
SORVANTA_FAKE_SETTER(FakeUdpConnection, setPathHandler, PathHandler, pathHandler_)
SORVANTA_FAKE_SETTER(FakeUdpConnection, setViabilityHandler, ViabilityHandler, viabilityHandler_)

void FakeUdpConnection::post(std::function<void()> action) {
    postUnlessCancelled(executor_, shared_from_this(), std::move(action));
}

void FakeUdpConnection::cancel() {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    state_ = {TransportState::Kind::cancelled, {}};
}

void FakeUdpConnection::send(std::shared_ptr<const Bytes> datagram, SendCompletion completion) {
    std::optional<PlatformError> error;
    {
        std::lock_guard lock(mutex_);
        if (datagram) {
            sends_.push_back(*datagram);
        }
        error = sendError_;
    }
    if (completion) {
        post([completion = std::move(completion), error] { completion(error); });
    }
}

void FakeUdpConnection::batch(const std::function<void()>& sends) {
    {
        std::lock_guard lock(mutex_);
        ++batches_;
    }
    if (sends) {
        sends();
    }
}

void FakeUdpConnection::receiveMessage(ReceiveCompletion completion) {
    std::unique_lock lock(mutex_);
    receives_.push_back(std::move(completion));
    serve(lock);
}

void FakeUdpConnection::serve(std::unique_lock<std::mutex>& lock) {
    while (!receives_.empty() && !arrivals_.empty()) {
        auto completion = std::move(receives_.front());
        receives_.pop_front();
        auto arrival = std::move(arrivals_.front());
        arrivals_.pop_front();
        lock.unlock();
        post([completion = std::move(completion), arrival = std::move(arrival)] {
            if (completion) {
                completion(arrival.content, arrival.at, arrival.error);
            }
        });
        lock.lock();
    }
}

TransportState FakeUdpConnection::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}
std::optional<NetworkPath> FakeUdpConnection::currentPath() const {
    std::lock_guard lock(mutex_);
    return path_;
}
std::uint64_t FakeUdpConnection::receiveQueueDrops() const {
    std::lock_guard lock(mutex_);
    return drops_;
}

void FakeUdpConnection::setState(const TransportState& value) {
    {
        std::lock_guard lock(mutex_);
        state_ = value;
    }
    SORVANTA_FAKE_DELIVER(stateHandler_, value);
}
void FakeUdpConnection::setPath(const NetworkPath& value) {
    {
        std::lock_guard lock(mutex_);
        path_ = value;
    }
    SORVANTA_FAKE_DELIVER(pathHandler_, value);
}
void FakeUdpConnection::setViability(bool value) {
    SORVANTA_FAKE_DELIVER(viabilityHandler_, value);
}
void FakeUdpConnection::deliver(const Bytes& datagram, Clock::time_point arrival) {
    std::unique_lock lock(mutex_);
    arrivals_.push_back({datagram, arrival, std::nullopt});
    serve(lock);
}
void FakeUdpConnection::failReceive(PlatformError error) {
    std::unique_lock lock(mutex_);
    arrivals_.push_back({{}, Clock::now(), error});
    serve(lock);
}
void FakeUdpConnection::setSendError(std::optional<PlatformError> error) {
    std::lock_guard lock(mutex_);
    sendError_ = error;
}
void FakeUdpConnection::setReceiveQueueDrops(std::uint64_t drops) {
    std::lock_guard lock(mutex_);
    drops_ = drops;
}
std::vector<FakeUdpConnection::Bytes> FakeUdpConnection::sends() const {
    std::lock_guard lock(mutex_);
    return sends_;
}
std::size_t FakeUdpConnection::batches() const {
    std::lock_guard lock(mutex_);
    return batches_;
}
std::size_t FakeUdpConnection::receivesPending() const {
    std::lock_guard lock(mutex_);
    return receives_.size();
}

// --- FakePreciseTimer ------------------------------------------------------------------------

SORVANTA_FAKE_FLAGS(FakePreciseTimer)

void FakePreciseTimer::cancel() {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
}

int FakePreciseTimer::fire(int count) {
    int ran = 0;
    for (int i = 0; i < count; ++i) {
        {
            std::lock_guard lock(mutex_);
            if (!started_ || cancelled_) {
                break;
            }
        }
        tick_();
        ++ran;
    }
    return ran;
}

// --- FakeNetworkFactory ----------------------------------------------------------------------

namespace {

template <class T>
std::shared_ptr<T> keep(std::mutex& mutex, std::vector<std::shared_ptr<T>>& made,
                        std::vector<std::string>& log, const char* kind, std::shared_ptr<T> fake) {
    std::lock_guard lock(mutex);
    made.push_back(fake);
    log.emplace_back(kind);
    return fake;
}

}  // namespace

std::shared_ptr<TcpConnection> FakeNetworkFactory::makeTcpConnection(NetworkExecutor executor,
                                                                     Endpoint remote,
                                                                     NetworkParameters parameters) {
    return keep(mutex_, tcp_, log_, "tcp",
                std::make_shared<FakeTcpConnection>(std::move(executor), std::move(remote),
                                                    std::move(parameters)));
}

std::shared_ptr<TcpConnection> FakeNetworkFactory::makeBrowsedConnection(
    NetworkExecutor executor, const DnssdEndpoint& endpoint, NetworkParameters parameters) {
    auto fake =
        std::make_shared<FakeTcpConnection>(std::move(executor), Endpoint{}, std::move(parameters));
    std::lock_guard lock(mutex_);
    browsed_.push_back({endpoint, fake});
    log_.emplace_back("browsed");
    return fake;
}

std::shared_ptr<TcpListener> FakeNetworkFactory::makeTcpListener(NetworkExecutor executor,
                                                                 NetworkParameters parameters,
                                                                 std::uint16_t port) {
    return keep(
        mutex_, tcpListeners_, log_, "tcpListener",
        std::make_shared<FakeTcpListener>(std::move(executor), std::move(parameters), port));
}

std::shared_ptr<AdvertisedListener> FakeNetworkFactory::makeAdvertisedListener(
    NetworkExecutor executor, NetworkParameters parameters, AdvertisedListener::Service service) {
    return keep(mutex_, advertised_, log_, "advertisedListener",
                std::make_shared<FakeAdvertisedListener>(std::move(executor), std::move(parameters),
                                                         std::move(service)));
}

std::shared_ptr<UdpConnection> FakeNetworkFactory::makeUdpConnection(NetworkExecutor executor,
                                                                     Endpoint remote,
                                                                     NetworkParameters parameters) {
    return keep(mutex_, udp_, log_, "udp",
                std::make_shared<FakeUdpConnection>(std::move(executor), std::move(remote),
                                                    std::move(parameters)));
}

std::shared_ptr<UdpListener> FakeNetworkFactory::makeUdpListener(NetworkExecutor executor,
                                                                 NetworkParameters parameters,
                                                                 std::uint16_t port) {
    return keep(
        mutex_, udpListeners_, log_, "udpListener",
        std::make_shared<FakeUdpListener>(std::move(executor), std::move(parameters), port));
}

std::shared_ptr<PathMonitor> FakeNetworkFactory::makePathMonitor(
    NetworkExecutor executor, std::optional<InterfaceType> requiredType) {
    return keep(mutex_, monitors_, log_, "pathMonitor",
                std::make_shared<FakePathMonitor>(std::move(executor), requiredType));
}

std::shared_ptr<DnssdBrowser> FakeNetworkFactory::makeBrowser(NetworkExecutor executor,
                                                              DnssdBrowser::Options options) {
    return keep(mutex_, browsers_, log_, "browser",
                std::make_shared<FakeDnssdBrowser>(std::move(executor), std::move(options)));
}

std::shared_ptr<PreciseTimer> FakeNetworkFactory::makePreciseTimer(std::chrono::nanoseconds period,
                                                                   std::function<void()> tick) {
    return keep(mutex_, timers_, log_, "preciseTimer",
                std::make_shared<FakePreciseTimer>(period, std::move(tick)));
}

#define SORVANTA_FAKE_LIST(Type, name, member)           \
    std::vector<Type> FakeNetworkFactory::name() const { \
        std::lock_guard lock(mutex_);                    \
        return member;                                   \
    }

SORVANTA_FAKE_LIST(std::shared_ptr<FakeTcpConnection>, tcpConnections, tcp_)
SORVANTA_FAKE_LIST(FakeNetworkFactory::Browsed, browsedConnections, browsed_)
SORVANTA_FAKE_LIST(std::shared_ptr<FakeTcpListener>, tcpListeners, tcpListeners_)
SORVANTA_FAKE_LIST(std::shared_ptr<FakeAdvertisedListener>, advertisedListeners, advertised_)
SORVANTA_FAKE_LIST(std::shared_ptr<FakeUdpConnection>, udpConnections, udp_)
SORVANTA_FAKE_LIST(std::shared_ptr<FakeUdpListener>, udpListeners, udpListeners_)
SORVANTA_FAKE_LIST(std::shared_ptr<FakePathMonitor>, pathMonitors, monitors_)
SORVANTA_FAKE_LIST(std::shared_ptr<FakeDnssdBrowser>, browsers, browsers_)
SORVANTA_FAKE_LIST(std::shared_ptr<FakePreciseTimer>, timers, timers_)
SORVANTA_FAKE_LIST(std::string, log, log_)

}  // namespace sorvanta::testing
