#pragma once

#include <asio/ip/address.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "engines/bulk_transfer_event.h"
#include "engines/bulk_transfer_settings.h"
#include "engines/payload_generator.h"
#include "engines/receiver_meter.h"
#include "engines/tcp_sender_report.h"
#include "engines/tcp_slice_log.h"
#include "platform/net/data_transfer_report.h"
#include "platform/net/network_executor.h"
#include "platform/net/scheduler.h"
#include "platform/net/tcp_connection.h"
#include "platform/net/tcp_listener.h"
#include "platform/network_factory.h"
#include "protocol/ordered_callbacks.h"
#include "protocol/speed_preamble.h"
#include "support/uuid.h"

namespace sorvanta {

// The engine of one TCP data connection between the two computers: a disposable check
// connection (`verificationOnly`: the two ends only exchange the 87-byte preamble) or one
// direction of a throughput stage. The receiving side listens on a port the system picks on
// the pinned wired interface; the sending side dials it, sends its preamble and, once told
// to, pumps payload. Everything it learns reaches its owner as BulkTransferEvent values.
//
// Threading: the engine is an actor on `executor`, which is also the executor of its listener
// and connection, so every network completion, every transfer report and every timer runs
// there. Call every method on that executor. Network handlers only wrap what they get into a
// Callback and put it into a bounded ordered queue (32); one consumer hands each to the
// dispatcher in order, and a tick joins the same queue every 0.25 s. Failures never escape
// as exceptions: each is the event `Failed`, the engine's last.
//
// Data plane: a sending stage engine keeps 4 sends of the same 131,072-byte buffer in flight
// and sends the next one as each completes; a receiver reads up to 131,072 bytes per read
// and only counts them into its ReceiverMeter; reads that find more data waiting are
// gathered into one event (at most payloadReadsPerEvent reads) and recorded together.
//
// TCP sender report on Linux (see TcpSenderReport): counters come from TCP_INFO on the
// connection's executor; `sent` counts retransmitted bytes too, `minimumRTT` is the kernel's
// windowed minimum at the collect. The whole-connection report, the measurement window and
// the one-second slices complete in order on the executor, so a slice closed by the last
// tick is in the log before the whole-connection report arrives.
class BulkTransfer final : public std::enable_shared_from_this<BulkTransfer> {
  public:
    using Event = BulkTransferEvent::Value;
    using Notify = std::function<void(const Event&)>;
    using ReportCompletion = std::function<void(std::optional<TCPObservation>)>;

    static constexpr std::size_t callbackCapacity = 32;
    // Queued callbacks the consumer handles in one turn of the executor before it yields.
    static constexpr int callbacksPerTurn = 16;
    static constexpr double tickPeriod = 0.25;
    static constexpr int sendsInFlight = 4;
    static constexpr std::size_t checkReceiveMaximum = SpeedPreamble::size;
    static constexpr std::size_t stageReceiveMaximum = 131'072;
    // Payload reads that may share one receive event when the data is already waiting.
    static constexpr int payloadReadsPerEvent = 8;
    static constexpr double reportTimeout = 2.0;
    static constexpr double partsTimeout = 1.0;

    using Settings = BulkTransferSettings;

    // Starts nothing. `factory` and `scheduler` (whose actions run on `executor`) outlive the
    // engine. `notify` is called on the executor and must only hand the event on.
    static std::shared_ptr<BulkTransfer> create(NetworkExecutor executor, NetworkFactory& factory,
                                                Scheduler& scheduler, Settings settings,
                                                Notify notify);
    ~BulkTransfer();

    // Once: the receiving side listens (no port), the sending side dials `port` on the peer.
    void start(std::optional<std::uint16_t> port = std::nullopt);
    // Receiving side on receiverReady, sending side on the peer's start message.
    void startTransfer();
    // On a transferring sender: starts the measurement window's transfer report.
    void beginMeasurementWindow();
    // The measurement barrier on a transferring receiver: starts the meter's measured interval
    // now. A refusal fails the engine with "Invalid measurement barrier."; false then, and
    // when the engine is not a transferring receiver.
    bool applyMeasurementBarrier();
    // Stops the stage for collection: no longer transferring, every later callback ignored,
    // no more ticks.
    void prepareForCollection();
    // The TCP sender report of a sending stage engine, once; none for a receiving or check
    // engine and for a second call. Completes on the executor, never inside this call.
    void collectReport(ReportCompletion completion);
    // Ends the engine silently; a pending collection completes with "Collection cancelled.".
    void shutdown();
    // Ends the engine and reports `Failed` (after a last `Progress` on a metering receiver,
    // after `PreparationFailed` on a check engine failing for a connection reason).
    void fail(const std::string& message, RunEndCause cause);

    // Seconds since the engine was made, on the scheduler's clock.
    double now() const;
    bool ended() const { return ended_; }
    bool receiving() const { return settings_.receiving; }
    bool transferring() const { return transferring_; }
    ReceiverMeter& meter() { return meter_; }
    const NetworkExecutor& executor() const { return executor_; }

  private:
    struct ListenerChanged {
        ListenerState state;
    };
    struct Accepted {
        std::shared_ptr<TcpConnection> connection;
    };
    struct StateChanged {
        TransportState state;
    };
    struct PathChanged {
        NetworkPath path;
    };
    struct ViabilityChanged {
        bool viable = false;
    };
    struct VerificationReplySent {
        std::optional<PlatformError> error;
    };
    struct PreambleSent {
        std::optional<PlatformError> error;
    };
    struct Sent {
        std::optional<PlatformError> error;
    };
    // A receive's byte count; the bytes themselves only while the engine still reads a
    // preamble or a reply (payload is only counted).
    struct Received {
        std::vector<std::uint8_t> bytes;
        std::size_t count = 0;
        bool isComplete = false;
        std::optional<PlatformError> error;
    };
    struct Tick {};
    using Callback =
        std::variant<ListenerChanged, Accepted, StateChanged, PathChanged, ViabilityChanged,
                     VerificationReplySent, PreambleSent, Sent, Received, Tick>;
    using Callbacks = OrderedCallbacks<Callback>;

    // A report collection under way.
    struct Collection {
        // Provided, not defaulted: clang cannot default-construct a nested class with member
        // initialisers from inside its enclosing class.
        Collection() {}
        ReportCompletion completion;
        bool wholeArrived = false;
        TCPObservation report;
        int partsWaiting = 0;
        std::optional<TCPSlice> window, last;
        Scheduler::Token timeout = 0;
    };

    BulkTransfer(NetworkExecutor executor, NetworkFactory& factory, Scheduler& scheduler,
                 Settings settings, Notify notify);

    static void consume(std::weak_ptr<BulkTransfer> weak, std::shared_ptr<Callbacks> queue);
    void scheduleTick();
    void emit(Event event);

    void handle(Callback callback);
    void listenerChanged(const ListenerState& state);
    void stateChanged(const TransportState& state);
    void adopt(std::shared_ptr<TcpConnection> connection);
    void connectionReady();
    bool pathMatches(const NetworkPath& path) const;
    bool verifyCurrentPath();
    void reportUnverifiedSetup(const std::string& detail);
    void classifyWaiting(const PlatformError& error);
    bool localNetworkDenied() const;

    void pumpSends();
    void sendPayload();
    void receiveNext();
    void received(Received value);
    void receivedOnCheck(const Received& value);
    void tick(double t);
    void emitSample(const SpeedSample& sample, bool final);

    void sampleSlices(double t);
    void adjustReceiveLowWater(double t);
    void wholeReportArrived(const DataTransferReport& report);
    void partArrived(bool window, std::optional<TCPSlice> slice);
    void finishCollection(TCPObservation report);

    NetworkExecutor executor_;
    NetworkFactory& factory_;
    Scheduler& scheduler_;
    const Settings settings_;
    Notify notify_;
    const double epoch_;
    const Uuid connectionIdentity_ = Uuid::random();
    TcpSenderReport reportBuilder_;

    std::shared_ptr<TcpListener> listener_;
    std::shared_ptr<TcpConnection> connection_;
    std::shared_ptr<Callbacks> callbacks_;
    std::optional<Scheduler::Token> tickToken_;
    SpeedPreambleDecoder decoder_;
    ReceiverMeter meter_;
    std::shared_ptr<const PayloadBuffer> payload_;
    int pendingSends_ = 0;

    bool begun_ = false;
    bool ended_ = false;
    bool ready_ = false;
    bool preambleSent_ = false;
    bool startRequested_ = false;
    bool transferring_ = false;
    bool resultProduced_ = false;
    bool warmReported_ = false;
    bool verificationComplete_ = false;
    bool collecting_ = false;
    bool reportCollected_ = false;
    std::optional<double> bulkStarted_;
    double lastProgress_ = 0;
    std::optional<double> lowWaterAt_;  // the last low-water adjustment and the total then
    std::uint64_t lowWaterTotal_ = 0;
    std::optional<double> acceptedAt_;
    std::optional<std::string> preparationWaitReason_;
    std::optional<SetupIssue> preparationIssue_;

    std::optional<PendingTransferReport> transferReport_;
    std::optional<double> readyAt_;
    std::optional<PendingTransferReport> windowReport_;
    std::optional<double> windowStart_;
    std::optional<PendingTransferReport> sliceReport_;
    std::optional<double> sliceStart_;
    TcpSliceLog slices_;
    std::optional<Collection> collection_;
};

}  // namespace sorvanta
