#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "engines/udp_leg_state.h"
#include "engines/udp_transfer_settings.h"
#include "platform/net/network_executor.h"
#include "platform/net/network_interface.h"
#include "platform/net/network_parameters.h"
#include "platform/net/network_path.h"
#include "platform/net/priority_inheritance_mutex.h"
#include "platform/network_factory.h"
#include "protocol/run_end_cause.h"
#include "protocol/udp_observation.h"
#include "support/clock.h"

namespace sorvanta {

// One leg of the UDP quality probe on one side. The receiving side listens, adopts the
// peer's flow, waits for the sender's readiness datagram and accounts every probe datagram;
// the sending side connects to the announced port, sends the readiness datagram and, once
// released by checkPath(), paces probe datagrams for the planned time. Everything it learns
// goes out through `notify` as an Event; a failure is always its last event.
//
// All state sits under one mutex. The public methods take it themselves (callers never hold
// it); network handlers, send and receive completions run on `executor` and the timer tick on
// the timer's thread, each taking it for a bounded step. `notify` is called under it, so it
// must only hand the event on and never call back into the engine.
class UDPTransfer : public std::enable_shared_from_this<UDPTransfer> {
  public:
    struct Listening {
        std::uint16_t port = 0;
    };
    struct Ready {
        std::string path;
    };
    struct Progress {
        std::int64_t count = 0;
    };
    struct Sent {
        UDPSendSummary summary;
        std::string path;
    };
    struct Result {
        UDPObservation observation;
    };
    struct Failed {
        std::string reason;
        // True: the whole run must end; false: only this quality check is given up.
        bool safety = false;
        RunEndCause cause = RunEndCause::tester;
    };
    using Event = std::variant<Listening, Ready, Progress, Sent, Result, Failed>;

    // The leg's settings and what the engine runs on.
    struct Setup : UDPTransferSettings {
        NetworkExecutor executor;
        std::shared_ptr<NetworkFactory> factory;
        std::function<void(Event)> notify;
        // Seconds since the engine's epoch; a steady clock started now when absent.
        std::shared_ptr<const Clock> clock;
        // Attempts after which the sender stops, capped: 1 … 3,000,000. Only tests that
        // reach the ceiling within a few ticks lower it.
        std::int64_t attemptCeiling = UDPPacer::maximumAttempts;
    };

    static constexpr double shortestDuration = 3.0;
    static constexpr double longestDuration = 6.0;
    static constexpr std::size_t poolSize = 128;
    static constexpr std::int64_t outstandingReceives = 64;

    // Throws ProtocolFailure when the binding does not validate, the duration is not within
    // 3.0 … 6.0 s, the capacity is not finite and positive or the attempt ceiling is out of
    // its range.
    static std::shared_ptr<UDPTransfer> make(Setup setup);
    ~UDPTransfer();
    UDPTransfer(const UDPTransfer&) = delete;
    UDPTransfer& operator=(const UDPTransfer&) = delete;

    // Begins the leg: the receiver listens (no port), the sender connects to `port`. Once.
    void start(std::optional<std::uint16_t> port);
    // Sender, on the receiver's readiness: starts sending if the path still matches.
    void checkPath();
    // Sender: the receiver's count; only a growing count feeds the progress watchdog.
    void noteRemoteProgress(std::int64_t count);
    // Receiver: the sender's summary and path; completion follows 0.5 s later.
    void acceptSenderSummary(const UDPSendSummary& summary, const std::string& path);
    // The observation of an interrupted leg from what the engine holds now (the socket's
    // drop count taken up to now); changes nothing else.
    std::optional<UDPObservation> finish();
    // Ends the engine without an event; harmless when repeated.
    void cancel();

    // The tick period: 1 ms on the receiver, one pacing burst (at most 10 ms) on the sender.
    std::chrono::nanoseconds tickPeriod() const;

  private:
    using Bytes = UdpConnection::Bytes;
    using Lock = std::lock_guard<PriorityInheritanceMutex>;

    // Send completions as they come, apart from the engine's lock: a completion only counts,
    // and the engine takes the counts up at its next tick (or when it reports). Contending
    // for the lock with the tick that sends would hold completions back, and the pacer
    // counts every one not yet taken up as in flight.
    struct SendTally {
        std::atomic<std::int64_t> completed{0};
        std::atomic<std::int64_t> failed{0};
    };

    struct State : UdpLegState {
        using UdpLegState::UdpLegState;
        // Send completions of the tally already taken up.
        std::int64_t settledCompletions = 0;
        std::int64_t settledFailures = 0;
        std::shared_ptr<UdpListener> listener;
        std::shared_ptr<UdpConnection> connection;
        std::shared_ptr<PreciseTimer> timer;
        std::vector<std::shared_ptr<Bytes>> buffers;
        // When the engine ended: an interrupted leg's times stop there.
        std::optional<double> endedAt;
    };

    explicit UDPTransfer(Setup setup);

    double now() const;
    NetworkParameters makeParameters() const;
    bool pathMatches(const NetworkPath& path) const;
    bool isPeer(const asio::ip::address& address) const;

    // Each below runs with the lock held.
    void fail(std::string reason, bool safety, RunEndCause cause);
    void cancelSteps();
    void adopt(std::shared_ptr<UdpConnection> connection);
    void armReceive();
    void sendReadiness();
    void tick();
    void tickReceiver(double t);
    void tickSender(double t);
    // Receiver: the receive queue was served late; marks the leg's one overrun.
    void noteDelayedService();
    // Hands the receiver the socket's running count of receive-queue drops, for a tail the
    // queue may have dropped.
    void noteQueueDrops();
    void stopSending(double t, double elapsed);
    void sendBatch(std::int64_t count);
    void complete(double t);

    // Handlers; each takes the lock.
    void listenerStateChanged(const ListenerState& state);
    void acceptCandidate(std::shared_ptr<UdpConnection> connection);
    void connectionStateChanged(const TransportState& state);
    void pathChanged(const NetworkPath& path);
    void viabilityLost();
    void readinessSent(const std::optional<PlatformError>& error);
    // `arrival` is the kernel's stamp (for transit and jitter); `handled` when this engine
    // took the completion up, before waiting for the lock (for the receive checks);
    // `queueDrops` the socket's drop count when the datagram was queued.
    void received(std::span<const std::uint8_t> content, double arrival, double handled,
                  std::uint64_t queueDrops, const std::optional<PlatformError>& error);
    // With the lock held: takes up the send completions that came since the last call.
    void settleSends();

    const UdpLegFacts facts_;
    const std::optional<NetworkInterface> interface_;
    const asio::ip::address host_;
    const UDPBinding::Prefix prefix_;
    const NetworkExecutor executor_;
    const std::shared_ptr<NetworkFactory> factory_;
    const std::function<void(Event)> notify_;
    const std::shared_ptr<const Clock> clock_;
    const std::int64_t attemptCeiling_;

    const std::shared_ptr<SendTally> tally_ = std::make_shared<SendTally>();
    // The receiver's tick thread is a prompt one: while it waits, the holder it waits for runs
    // with its priority, so no other thread can hold a receive completion up inside the lock.
    mutable PriorityInheritanceMutex mutex_;
    State state_;
    // Network objects the engine has finished with. They are released with the engine, never
    // under the lock: releasing a timer waits for its thread, which may be waiting for the
    // lock.
    std::vector<std::shared_ptr<void>> retired_;
};

}  // namespace sorvanta
