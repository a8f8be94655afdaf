#pragma once

#include <asio/awaitable.hpp>
#include <asio/ip/address.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "engines/bulk_transfer_settings.h"
#include "engines/udp_transfer_settings.h"
#include "protocol/run_end_cause.h"
#include "protocol/setup_issue.h"
#include "protocol/speed_preamble.h"
#include "protocol/speed_sample.h"
#include "protocol/tcp_observation.h"
#include "protocol/udp_binding.h"
#include "protocol/udp_observation.h"
#include "protocol/udp_send_summary.h"

// What the sequencer needs of the two transfer engines. The sequencer names only these
// interfaces; the real engines are wrapped by thin adapters, tests script fakes.
namespace sorvanta {

// One report of a TCP data or check engine. Only the fields of its kind are meaningful.
struct BulkEvent {
    enum class Kind {
        listening,           // port: the receiving side's listener is ready
        preparationWaiting,  // issue: a check connection waits
        preparationFailed,   // issue: a check connection failed (before `failed`)
        progress,            // sample: a transferring receiver's tick
        result,              // sample: the receiver's meter completed
        path,                // text: the data path, once the connection is ready
        receiverReady,       // a stage receiver accepted the sender's preamble
        warmed,              // a stage receiver finished its warm-up
        verified,            // a check connection completed the preamble exchange
        failed,              // text, cause: the engine failed and is shut down
    };

    Kind kind = Kind::failed;
    std::uint16_t port = 0;
    SetupIssue issue = SetupIssue::connection;
    std::optional<SpeedSample> sample;
    std::string text;
    RunEndCause cause = RunEndCause::tester;

    static BulkEvent of(Kind kind) {
        BulkEvent event;
        event.kind = kind;
        return event;
    }
    static BulkEvent listening(std::uint16_t port) {
        auto event = of(Kind::listening);
        event.port = port;
        return event;
    }
    static BulkEvent preparation(Kind kind, SetupIssue issue) {
        auto event = of(kind);
        event.issue = issue;
        return event;
    }
    static BulkEvent measured(Kind kind, SpeedSample sample) {
        auto event = of(kind);
        event.sample = std::move(sample);
        return event;
    }
    static BulkEvent pathText(std::string text) {
        auto event = of(Kind::path);
        event.text = std::move(text);
        return event;
    }
    static BulkEvent failure(std::string text, RunEndCause cause) {
        auto event = of(Kind::failed);
        event.text = std::move(text);
        event.cause = cause;
        return event;
    }
};

// One TCP data connection (a stage direction) or disposable check connection. Every call
// runs on the engine's own executor and resumes the caller on the caller's executor; the
// engine reports only through its notify function, which merely enqueues.
class BulkEngine {
  public:
    virtual ~BulkEngine() = default;

    // A receiving engine listens on any port of the interface and reports `listening`; a
    // sending engine dials the given port. A second call does nothing; failures are events.
    virtual asio::awaitable<void> start(std::optional<std::uint16_t> port) = 0;
    // The receiver starts reading payload, the sender starts pumping it.
    virtual asio::awaitable<void> startTransfer() = 0;
    // A transferring sender opens the TCP report of the measurement window.
    virtual asio::awaitable<void> beginMeasurementWindow() = 0;
    // The receiver barrier: when the engine has not ended, is receiving and transferring,
    // its meter begins measuring at the engine's own time; a meter that refuses fails the
    // engine with "Invalid measurement barrier." (cause tester). Otherwise nothing.
    virtual asio::awaitable<void> beginReceiverMeasurement() = 0;
    // Stops transferring and the engine's own tick deadlines while reports are collected.
    virtual asio::awaitable<void> prepareForCollection() = 0;
    // The sender's TCP report, once; nothing for receivers and check engines.
    virtual asio::awaitable<std::optional<TCPObservation>> collectReport() = 0;
    // Ends the engine without reporting an event.
    virtual asio::awaitable<void> shutdown() = 0;
};

// One report of a UDP probe engine.
struct ProbeEvent {
    enum class Kind {
        listening,  // port
        ready,      // text: the receiver is ready; its path
        progress,   // count: the receiver's count so far
        sent,       // summary, text: the sender finished
        result,     // observation: the receiver's final observation
        failed,     // text, safety, cause
    };

    Kind kind = Kind::failed;
    std::uint16_t port = 0;
    std::string text;
    std::int64_t count = 0;
    std::optional<UDPSendSummary> summary;
    std::optional<UDPObservation> observation;
    // The failure must end the run, not only the quality check.
    bool safety = false;
    RunEndCause cause = RunEndCause::tester;

    static ProbeEvent of(Kind kind) {
        ProbeEvent event;
        event.kind = kind;
        return event;
    }
    static ProbeEvent listening(std::uint16_t port) {
        auto event = of(Kind::listening);
        event.port = port;
        return event;
    }
    static ProbeEvent ready(std::string path) {
        auto event = of(Kind::ready);
        event.text = std::move(path);
        return event;
    }
    static ProbeEvent progress(std::int64_t count) {
        auto event = of(Kind::progress);
        event.count = count;
        return event;
    }
    static ProbeEvent sent(UDPSendSummary summary, std::string path) {
        auto event = of(Kind::sent);
        event.summary = std::move(summary);
        event.text = std::move(path);
        return event;
    }
    static ProbeEvent result(UDPObservation observation) {
        auto event = of(Kind::result);
        event.observation = std::move(observation);
        return event;
    }
    static ProbeEvent failure(std::string text, bool safety, RunEndCause cause) {
        auto event = of(Kind::failed);
        event.text = std::move(text);
        event.safety = safety;
        event.cause = cause;
        return event;
    }
};

// The UDP probe engine of one leg attempt. It guards its state with its own lock, taken
// inside each of these calls; the sequencer never holds it. Callbacks never call back
// into the sequencer: the notify function only enqueues.
class ProbeEngine {
  public:
    virtual ~ProbeEngine() = default;

    // The receiver opens its listener (no port); the sender dials the receiver's port.
    virtual void start(std::optional<std::uint16_t> port) = 0;
    virtual void checkPath() = 0;
    virtual void noteRemoteProgress(std::int64_t count) = 0;
    virtual void acceptSenderSummary(const UDPSendSummary& summary, const std::string& path) = 0;
    // The observation of an interrupted leg, from what the engine recorded so far.
    virtual std::optional<UDPObservation> finish() = 0;
    // Drops handlers, listener, connection and timer; reports nothing.
    virtual void cancel() = 0;
};

using BulkNotify = std::function<void(BulkEvent)>;
using ProbeNotify = std::function<void(ProbeEvent)>;

// Builds the engines of one run. Construction failures throw ProtocolFailure.
class QuickEngineFactory {
  public:
    virtual ~QuickEngineFactory() = default;
    virtual std::shared_ptr<BulkEngine> makeBulk(const BulkTransferSettings& settings,
                                                 BulkNotify notify) = 0;
    virtual std::shared_ptr<ProbeEngine> makeProbe(const UDPTransferSettings& settings,
                                                   ProbeNotify notify) = 0;
};

}  // namespace sorvanta
