#include "engines/udp_transfer.h"

#include <algorithm>
#include <cmath>

#include "engines/udp_datagram.h"
#include "engines/udp_leg_result.h"
#include "platform/net/wired_path.h"
#include "protocol/protocol_failure.h"

namespace sorvanta {

namespace {

constexpr double receiverInterval = 0.001;
constexpr double longestInterval = 0.01;
constexpr double setupAllowance = 5.0;
constexpr double progressInterval = 0.25;
constexpr double progressWatchdog = 2.0;
constexpr double completionAllowance = 0.5;
constexpr double tailWait = 0.5;
constexpr std::int64_t maximumCandidates = 8;

constexpr auto connectionCause = RunEndCause::connection;
constexpr auto testerCause = RunEndCause::tester;

}  // namespace

std::shared_ptr<UDPTransfer> UDPTransfer::make(Setup setup) {
    setup.binding.validate();
    if (!(setup.measuredDuration >= shortestDuration &&
          setup.measuredDuration <= longestDuration) ||
        setup.attemptCeiling < 1 || setup.attemptCeiling > UDPPacer::maximumAttempts) {
        throw ProtocolFailure::malformed;
    }
    return std::shared_ptr<UDPTransfer>(new UDPTransfer(std::move(setup)));
}

UDPTransfer::UDPTransfer(Setup setup)
    : facts_{setup.binding, setup.capacity, setup.measuredDuration, setup.receiving},
      interface_(std::move(setup.interface)),
      host_(setup.host),
      prefix_(setup.binding.datagramPrefix()),
      executor_(std::move(setup.executor)),
      factory_(std::move(setup.factory)),
      notify_(setup.notify ? std::move(setup.notify) : [](const Event&) {}),
      clock_(setup.clock ? std::move(setup.clock) : std::make_shared<SteadyClock>()),
      attemptCeiling_(setup.attemptCeiling),
      state_(facts_) {
    state_.buffers.reserve(poolSize);
    for (std::size_t i = 0; i < poolSize; ++i) {
        state_.buffers.push_back(std::make_shared<Bytes>(udp_datagram::size, 0));
    }
}

UDPTransfer::~UDPTransfer() {
    // Nothing is reported any more; the network objects are stopped before they go.
    Lock lock(mutex_);
    cancelSteps();
}

double UDPTransfer::now() const {
    return clock_->now();
}

std::chrono::nanoseconds UDPTransfer::tickPeriod() const {
    const double interval =
        facts_.receiving ? receiverInterval
                         : static_cast<double>(state_.pacer.burst) / state_.pacer.packetsPerSecond;
    // A rate so low that the interval is not a number or infinite ticks at the longest.
    const double seconds =
        std::isfinite(interval) ? std::min(interval, longestInterval) : longestInterval;
    return std::chrono::nanoseconds(std::max<std::int64_t>(1, std::int64_t(seconds * 1e9)));
}

NetworkParameters UDPTransfer::makeParameters() const {
    NetworkParameters parameters = NetworkParameters::udp();
    if (!interface_) {
        return parameters;
    }
    parameters.requiredInterface = interface_;
    parameters.requiredInterfaceType = InterfaceType::wiredEthernet;
    parameters.prohibitedInterfaceTypes = {InterfaceType::wifi, InterfaceType::loopback,
                                           InterfaceType::cellular, InterfaceType::other};
    parameters.includePeerToPeer = false;
    return parameters;
}

bool UDPTransfer::isPeer(const asio::ip::address& address) const {
    const auto a = unmapped(address);
    const auto b = unmapped(host_);
    // The socket is pinned to the interface, so a link-local address's scope adds nothing.
    if (a.is_v6() && b.is_v6()) {
        return a.to_v6().to_bytes() == b.to_v6().to_bytes();
    }
    return a == b;
}

bool UDPTransfer::pathMatches(const NetworkPath& path) const {
    return interface_ && isWiredPath(path, interface_->name, interface_->index) &&
           path.remoteEndpoint && isPeer(path.remoteEndpoint->host);
}

void UDPTransfer::fail(std::string reason, bool safety, RunEndCause cause) {
    if (state_.ended) {
        return;
    }
    cancelSteps();
    notify_(Failed{std::move(reason), safety, cause});
}

void UDPTransfer::cancelSteps() {
    if (state_.ended) {
        return;
    }
    settleSends();  // what completed until now counts
    noteQueueDrops();
    state_.ended = true;
    state_.endedAt = now();
    if (state_.submitting) {
        state_.stopped = *state_.endedAt;
    }
    state_.submitting = false;
    // cancel() never blocks and no handler runs after it; the objects are kept until the
    // engine goes, and every handler that still comes finds `ended`.
    if (state_.timer) {
        state_.timer->cancel();
        retired_.push_back(std::move(state_.timer));
    }
    if (state_.listener) {
        state_.listener->cancel();
        retired_.push_back(std::move(state_.listener));
    }
    if (state_.connection) {
        state_.connection->cancel();
        retired_.push_back(std::move(state_.connection));
    }
    state_.pendingReceives = 0;
    state_.buffers.clear();
}

void UDPTransfer::start(std::optional<std::uint16_t> port) {
    Lock lock(mutex_);
    if (state_.begun || state_.ended) {
        return;
    }
    state_.begun = true;
    state_.begunAt = now();
    std::weak_ptr<UDPTransfer> weak = weak_from_this();
    state_.timer = factory_->makePreciseTimer(tickPeriod(), [weak] {
        if (auto self = weak.lock()) {
            Lock lock(self->mutex_);
            self->tick();
        }
    });
    if (facts_.receiving) {
        // The receiver's ticks are its receive checks: one that a busy CPU holds back by more
        // than the overrun bound would blame this computer for a wait it did not cause. The
        // sender's timer waits actively while sending and stays ordinary.
        state_.timer->setPrompt(true);
    }
    state_.timer->start();
    if (facts_.receiving) {
        state_.listener = factory_->makeUdpListener(executor_, makeParameters(), 0);
        if (!state_.listener) {
            fail("Could not prepare the extra quality check.", false, testerCause);
            return;
        }
        state_.listener->setStateHandler([weak](const ListenerState& s) {
            if (auto self = weak.lock()) {
                self->listenerStateChanged(s);
            }
        });
        state_.listener->setNewFlowHandler([weak](std::shared_ptr<UdpConnection> c) {
            if (auto self = weak.lock()) {
                self->acceptCandidate(std::move(c));
            }
        });
        state_.listener->start();
        return;
    }
    if (!port || *port == 0) {
        fail("Could not prepare the extra quality check.", false, testerCause);
        return;
    }
    auto connection =
        factory_->makeUdpConnection(executor_, Endpoint{host_, *port}, makeParameters());
    if (!connection) {
        fail("Could not prepare the extra quality check.", false, testerCause);
        return;
    }
    adopt(std::move(connection));
}

void UDPTransfer::listenerStateChanged(const ListenerState& s) {
    Lock lock(mutex_);
    if (state_.ended) {
        return;
    }
    if (s.kind == ListenerState::Kind::failed) {
        fail("UDP listener unavailable.", false, connectionCause);
    } else if (s.kind == ListenerState::Kind::ready && state_.listener) {
        const std::uint16_t port = s.port != 0 ? s.port : state_.listener->port();
        if (port != 0) {
            notify_(Listening{port});
        }
    }
}

void UDPTransfer::acceptCandidate(std::shared_ptr<UdpConnection> candidate) {
    Lock lock(mutex_);
    // A flow from any host but the admitted peer is refused rather than adopted: adopting it
    // would fail the path check and end the whole run on a stranger's datagram.
    if (!state_.ended && !state_.connection && isPeer(candidate->endpoint().host)) {
        adopt(std::move(candidate));
        return;
    }
    candidate->cancel();
    retired_.push_back(std::move(candidate));
    ++state_.unknown;
    if (!state_.ended && state_.unknown >= maximumCandidates) {
        fail("Too many UDP candidates.", false, testerCause);
    }
}

void UDPTransfer::adopt(std::shared_ptr<UdpConnection> connection) {
    state_.connection = connection;
    if (state_.listener) {
        state_.listener->setNewFlowHandler(nullptr);
        state_.listener->cancel();
        retired_.push_back(std::move(state_.listener));
    }
    std::weak_ptr<UDPTransfer> weak = weak_from_this();
    connection->setStateHandler([weak](const TransportState& s) {
        if (auto self = weak.lock()) {
            self->connectionStateChanged(s);
        }
    });
    connection->setPathHandler([weak](const NetworkPath& path) {
        if (auto self = weak.lock()) {
            self->pathChanged(path);
        }
    });
    connection->setViabilityHandler([weak](bool viable) {
        if (auto self = weak.lock(); self && !viable) {
            self->viabilityLost();
        }
    });
    connection->start();
}

void UDPTransfer::connectionStateChanged(const TransportState& s) {
    Lock lock(mutex_);
    if (state_.ended) {
        return;
    }
    using Kind = TransportState::Kind;
    switch (s.kind) {
        case Kind::waiting:
        case Kind::failed:
            if (state_.ready) {
                fail("UDP connection interrupted.", true, connectionCause);
            }
            return;
        case Kind::cancelled:
            fail("UDP connection cancelled.", true, connectionCause);
            return;
        case Kind::ready:
            break;
        default:
            return;
    }
    const auto path = state_.connection ? state_.connection->currentPath() : std::nullopt;
    if (state_.ready || !path || !pathMatches(*path)) {
        fail("UDP path does not match the admitted Ethernet peer/interface.", true,
             connectionCause);
        return;
    }
    state_.ready = true;
    state_.path = "UDP connection " + facts_.binding.probe.text() + "; selected " +
                  interface_->name + "/" + std::to_string(interface_->index) + "; " +
                  (path->localEndpoint ? path->localEndpoint->text() : "unknown") + " \u2192 " +
                  (path->remoteEndpoint ? path->remoteEndpoint->text() : "unknown");
    if (facts_.receiving) {
        state_.connection->batch([this] {
            for (std::int64_t i = 0; i < outstandingReceives; ++i) {
                armReceive();
            }
        });
    } else {
        sendReadiness();
    }
}

void UDPTransfer::pathChanged(const NetworkPath& path) {
    Lock lock(mutex_);
    if (state_.ready && !state_.ended && !pathMatches(path)) {
        fail("Selected UDP Ethernet path lost.", true, connectionCause);
    }
}

void UDPTransfer::viabilityLost() {
    Lock lock(mutex_);
    if (state_.ready && !state_.ended) {
        fail("UDP path no longer viable.", true, connectionCause);
    }
}

void UDPTransfer::sendReadiness() {
    auto datagram = std::make_shared<Bytes>(udp_datagram::size, 0);
    udp_datagram::writeHeader(*datagram, prefix_, udp_datagram::readinessKind, 0, now());
    std::weak_ptr<UDPTransfer> weak = weak_from_this();
    state_.connection->send(std::move(datagram), [weak](std::optional<PlatformError> error) {
        if (auto self = weak.lock()) {
            self->readinessSent(error);
        }
    });
}

void UDPTransfer::readinessSent(const std::optional<PlatformError>& error) {
    Lock lock(mutex_);
    if (error && !state_.ended) {
        fail("UDP readiness send failed.", false, testerCause);
    }
}

void UDPTransfer::armReceive() {
    if (state_.ended || state_.pendingReceives >= outstandingReceives || !state_.connection) {
        return;
    }
    ++state_.pendingReceives;
    std::weak_ptr<UDPTransfer> weak = weak_from_this();
    state_.connection->receiveMessage(
        [weak](std::span<const std::uint8_t> content, UdpConnection::Clock::time_point arrival,
               std::uint64_t queueDrops, std::optional<PlatformError> error) {
            if (auto self = weak.lock()) {
                // Both read before the lock, so that waiting for it counts neither as transit nor
                // as service.
                self->received(content, self->clock_->at(arrival), self->now(), queueDrops, error);
            }
        });
}

void UDPTransfer::received(std::span<const std::uint8_t> content, double arrival, double handled,
                           std::uint64_t queueDrops, const std::optional<PlatformError>& error) {
    Lock lock(mutex_);
    if (state_.ended) {
        return;
    }
    --state_.pendingReceives;
    if (error) {
        fail("UDP receiver cannot continue.", true, connectionCause);
        return;
    }
    armReceive();
    const auto outcome = udp_datagram::check(content, prefix_);
    bool refused = !outcome.datagram || (outcome.datagram->probe && !state_.receipt);
    if (!refused && !outcome.datagram->probe) {
        if (!state_.receipt) {
            state_.receipt = true;
            // The checks measure how regularly this engine serves its receive queue, so the
            // first is when it took the datagram up: the datagram may have waited in a
            // backlog while the flow was adopted and made ready, which is set-up, not service.
            state_.receiveCoverage.record(handled);
            notify_(Ready{state_.path});
        }
        return;
    }
    if (!refused) {
        const auto& d = *outcome.datagram;
        try {
            state_.receiver.record(
                {d.sequence, d.probe, d.sendTime, arrival, static_cast<std::int64_t>(queueDrops)});
        } catch (const ProtocolFailure&) {
            refused = true;
        }
        // The checks run on a prompt thread of their own, so they no longer see a receive
        // path that other threads hold back; a datagram that waited in the socket longer than
        // the checks' bound before this engine took it up shows that delay directly.
        if (!refused && handled - arrival > UDPReceiveCoverage::delayedGap) {
            noteDelayedService();
        }
    }
    if (refused) {
        ++state_.receiver.rejected;
        if (!state_.receipt) {
            fail("UDP readiness identity did not match.", false, testerCause);
        }
    }
}

void UDPTransfer::checkPath() {
    Lock lock(mutex_);
    if (facts_.receiving || state_.ended || !state_.ready || state_.started) {
        return;
    }
    const auto path = state_.connection ? state_.connection->currentPath() : std::nullopt;
    if (!path || !pathMatches(*path)) {
        return;
    }
    const double t = now();
    state_.started = t;
    state_.summary.measurementStart = t;
    state_.remoteProgressAt = now();
    state_.submitting = true;
    state_.summary.capped = state_.pacer.capped;
    // The pacer gives up a slot that a tick reaches more than one slot late, so while the
    // leg sends, its ticks must come on time rather than when a sleep happens to end.
    if (state_.timer) {
        state_.timer->setExact(true);
    }
}

void UDPTransfer::noteRemoteProgress(std::int64_t count) {
    Lock lock(mutex_);
    if (state_.ended || facts_.receiving || count <= state_.remoteCount) {
        return;
    }
    state_.remoteProgressAt = now();
    state_.remoteCount = count;
}

void UDPTransfer::acceptSenderSummary(const UDPSendSummary& summary, const std::string& path) {
    Lock lock(mutex_);
    if (!facts_.receiving || state_.ended || !state_.receipt || state_.senderSummary) {
        return;
    }
    state_.senderSummary = summary;
    state_.senderPath = path;
    state_.tailStart = now();
}

std::optional<UDPObservation> UDPTransfer::finish() {
    Lock lock(mutex_);
    settleSends();
    if (!state_.ended) {
        noteQueueDrops();
    }
    return udp_leg_result::interrupted(facts_, state_, state_.endedAt.value_or(now()));
}

void UDPTransfer::cancel() {
    std::vector<std::shared_ptr<void>> retired;
    {
        Lock lock(mutex_);
        cancelSteps();
        retired.swap(retired_);
    }
    // Released here, outside the lock: releasing the timer waits for a tick in progress (it
    // may be waiting for the lock), so that no tick is left holding the engine and releases
    // it last on the timer's thread, perhaps after the executor its objects belong to.
}

void UDPTransfer::tick() {
    if (state_.ended) {
        return;
    }
    settleSends();
    const double t = now();
    if (t - state_.begunAt >= facts_.measuredDuration + setupAllowance) {
        const bool safety = state_.started.has_value() || state_.receiver.unique > 0;
        fail("Extra quality check setup/completion timed out.", safety, testerCause);
        return;
    }
    if (facts_.receiving) {
        tickReceiver(t);
    } else {
        tickSender(t);
    }
}

void UDPTransfer::tickReceiver(double t) {
    if (state_.receipt) {
        // The peer's validator refuses a coverage beyond its bound of checks; the checks
        // already counted cover any leg the watchdog lets run.
        if (state_.receiveCoverage.checks < UDPReceiveCoverage::maximumChecks) {
            state_.receiveCoverage.record(t);
        }
        if (state_.receiveCoverage.delayedChecks > 0) {
            noteDelayedService();
        }
        if (t - state_.lastProgressEvent >= progressInterval) {
            state_.lastProgressEvent = t;
            notify_(Progress{state_.receiver.unique});
        }
    }
    if (state_.tailStart && state_.senderSummary && t - *state_.tailStart >= tailWait) {
        complete(t);
    }
}

void UDPTransfer::noteDelayedService() {
    if (state_.receiver.overruns == 0) {
        state_.receiver.overruns = 1;
        state_.receiver.timingReason =
            "Receive queue service was delayed; application timing is limited.";
    }
}

void UDPTransfer::tickSender(double t) {
    if (!state_.started) {
        return;
    }
    if (state_.submitting) {
        const double elapsed = t - *state_.started;
        if (elapsed >= facts_.measuredDuration) {
            stopSending(t, elapsed);
        } else if (t - state_.remoteProgressAt >= progressWatchdog) {
            fail("No progress reports from the receiving Mac for two seconds; probe stopped.", true,
                 testerCause);
            return;
        } else {
            const auto count =
                std::min(state_.pacer.due(state_.inFlight, state_.summary.attempted, t),
                         attemptCeiling_ - state_.summary.attempted);
            if (!state_.connection) {
                return;
            }
            if (count > 0) {
                state_.connection->batch([this, count] { sendBatch(count); });
            }
            if (state_.summary.attempted < attemptCeiling_) {
                return;
            }
            state_.summary.capped = true;
            // The batch stamped its datagrams after the tick began: the window closes at
            // the clock's reading now, so that it holds the last submission.
            const double end = std::max(t, now());
            stopSending(end, end - *state_.started);
        }
    }
    if (state_.sentReported) {
        return;
    }
    if (state_.inFlight > 0) {
        if (state_.stopped && t - *state_.stopped >= completionAllowance) {
            fail("UDP local send completion timed out.", true, testerCause);
        }
        return;
    }
    state_.sentReported = true;
    state_.summary.pacingGaps = state_.pacer.gaps;
    state_.summary.discardedSlots = state_.pacer.discarded;
    state_.summary.maximumGap = state_.pacer.maximumGap;
    notify_(Sent{state_.summary, state_.path});
}

void UDPTransfer::stopSending(double t, double elapsed) {
    state_.submitting = false;
    if (state_.timer) {
        state_.timer->setExact(false);  // the ticks after sending only wait for completions
    }
    state_.stopped = t;
    state_.summary.seconds = elapsed;
    state_.summary.measurementEnd = t;
}

void UDPTransfer::sendBatch(std::int64_t count) {
    auto& summary = state_.summary;
    constexpr auto pool = static_cast<std::int64_t>(poolSize);
    for (std::int64_t i = 0; i < count && state_.inFlight < pool; ++i) {
        // Completions come in send order, so the buffers in flight are the last `inFlight`
        // of the ring and the next one is free, unless the connection still holds it.
        if (state_.buffers.size() != poolSize) {
            return;
        }
        const auto& buffer = state_.buffers[static_cast<std::size_t>(summary.attempted) % poolSize];
        if (buffer.use_count() > 1) {
            return;
        }
        const auto sequence = static_cast<std::uint32_t>(summary.attempted);
        const double t = now();
        udp_datagram::writeHeader(*buffer, prefix_, udp_datagram::probeKind, sequence, t);
        if (!summary.firstSubmission) {
            summary.firstSubmission = t;
        }
        summary.lastSubmission = t;
        ++summary.attempted;
        ++state_.inFlight;
        summary.maximumInFlight = std::max(summary.maximumInFlight, state_.inFlight);
        state_.connection->send(buffer, [tally = tally_](std::optional<PlatformError> e) {
            if (e) {
                tally->failed.fetch_add(1, std::memory_order_relaxed);
            }
            tally->completed.fetch_add(1, std::memory_order_release);
        });
    }
}

void UDPTransfer::settleSends() {
    if (state_.ended) {
        return;
    }
    // Completed first: every failure counted in it is then visible too.
    const std::int64_t completed = tally_->completed.load(std::memory_order_acquire);
    const std::int64_t failed = tally_->failed.load(std::memory_order_relaxed);
    const std::int64_t newlyCompleted = completed - state_.settledCompletions;
    // A failure whose completion is not counted yet waits for the next call.
    const std::int64_t newlyFailed = std::min(failed - state_.settledFailures, newlyCompleted);
    state_.settledCompletions = completed;
    state_.settledFailures += newlyFailed;
    state_.inFlight -= newlyCompleted;
    state_.summary.accepted += newlyCompleted - newlyFailed;
    state_.summary.failed += newlyFailed;
    if (newlyFailed > 0) {
        state_.summary.reason = "Local UDP send failure; loss percentage unavailable.";
    }
}

void UDPTransfer::noteQueueDrops() {
    if (state_.connection) {
        state_.receiver.noteQueueDrops(
            static_cast<std::int64_t>(state_.connection->receiveQueueDrops()));
    }
}

void UDPTransfer::complete(double t) {
    noteQueueDrops();
    auto observation = udp_leg_result::completed(facts_, state_, t);
    cancelSteps();
    notify_(Result{std::move(observation)});
}

}  // namespace sorvanta
