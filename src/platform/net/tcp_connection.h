#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "platform/net/data_transfer_report.h"
#include "platform/net/network_endpoint.h"
#include "platform/net/network_executor.h"
#include "platform/net/network_interface.h"
#include "platform/net/network_path.h"
#include "platform/net/transport_state.h"
#include "support/platform_error.h"

namespace sorvanta {

// One TCP connection, dialled or accepted, on its owner's serial executor (see
// network_executor.h). Made by a NetworkFactory (or handed over by a listener).
//
// A dialled connection goes setup → preparing → ready. An attempt that fails before ready
// (refused, timed out, unreachable, network or pinned interface down) is reported as
// waiting(error) and tried again every second until the owner cancels; the owner's own
// deadline decides when waiting is too long. Bytes sent while waiting are kept and written
// once the connection is ready.
//
// After ready there is no waiting state: a fatal socket error is failed(error) (a peer that
// stops answering is one only under the parameters' liveness checks: ETIMEDOUT), and losing
// carrier or the local address first delivers a path update (the interface no longer
// available) and then viability false; the connection stays ready until the socket itself
// fails or the owner cancels. `cancelled` is never delivered to the owner: after its own
// cancel() no handler runs at all.
//
// Sends complete exactly once each, in send order, once their bytes are in the kernel. The
// bytes of a send never change afterwards: one buffer sent again may be written from a copy
// taken when it was first seen repeating. One receive may be outstanding; it completes with
// at least `minimum` bytes (fewer only at the end of the stream or on error), at most
// `maximum`; `minimum` above `maximum` (or a zero `maximum`) is refused at once with an
// error. cancel() is graceful: queued sends are still written (bounded to two seconds), the
// write side is shut down, and the socket is closed once the peer has acknowledged
// everything, so a message queued just before cancel reaches the peer. Release the object
// only after cancel().
//
// Every entry point returns before any handler it causes runs: handlers are posted to the
// executor, never run inside start(), send(), receive() or cancel(), so an owner may call
// them while holding its own lock.
class TcpConnection {
  public:
    using Bytes = std::vector<std::uint8_t>;
    using StateHandler = std::function<void(const TransportState&)>;
    using PathHandler = std::function<void(const NetworkPath&)>;
    using ViabilityHandler = std::function<void(bool viable)>;
    using SendCompletion = std::function<void(std::optional<PlatformError>)>;
    // The bytes are valid only during the call.
    using ReceiveCompletion = std::function<void(std::span<const std::uint8_t> data,
                                                 bool isComplete, std::optional<PlatformError>)>;

    virtual ~TcpConnection() = default;

    // Handlers are set before start().
    virtual void setStateHandler(StateHandler handler) = 0;
    virtual void setPathHandler(PathHandler handler) = 0;
    virtual void setViabilityHandler(ViabilityHandler handler) = 0;

    // Starts on the executor given at creation; an accepted connection may be started on
    // another executor, which then runs all its work and handlers.
    virtual void start() = 0;
    virtual void start(NetworkExecutor executor) = 0;

    virtual void send(std::shared_ptr<const Bytes> data, SendCompletion completion) = 0;
    void send(Bytes data, SendCompletion completion) {
        send(std::make_shared<const Bytes>(std::move(data)), std::move(completion));
    }
    virtual void receive(std::size_t minimum, std::size_t maximum,
                         ReceiveCompletion completion) = 0;
    // Bytes that are only counted, never looked at: the completion gets how many arrived.
    // Otherwise like receive(1, maximum, …), except that a connection may read up to
    // `reads` times (each read at most `maximum` bytes) while the reads keep filling the
    // buffer, and report them together, so that a fast stream costs one completion per
    // batch rather than per read. The count is 0 only at the end of the stream or on error.
    using CountCompletion =
        std::function<void(std::size_t count, bool isComplete, std::optional<PlatformError>)>;
    virtual void receiveCounted(std::size_t maximum, int reads, CountCompletion completion) {
        (void)reads;
        receive(1, maximum,
                [completion = std::move(completion)](std::span<const std::uint8_t> data,
                                                     bool isComplete,
                                                     std::optional<PlatformError> error) {
                    completion(data.size(), isComplete, error);
                });
    }
    // Asks the kernel not to wake a receive until about `bytes` are waiting (the end of the
    // stream, an error or lowering the mark still wake it at once): a steady stream then
    // costs fewer, larger reads. 0 or 1 wakes on every byte, as at the start. The mark is
    // capped so that it never narrows the receive window. Call on the executor; reset by
    // cancel().
    virtual void setReceiveLowWater(std::size_t bytes) { (void)bytes; }
    virtual void cancel() = 0;

    // Snapshot of the state and of the path (the path is known from ready on).
    virtual TransportState state() const = 0;
    virtual std::optional<NetworkPath> currentPath() const = 0;
    // The peer this connection dials or was accepted from.
    virtual const Endpoint& endpoint() const = 0;

    // Starts an interval whose counters a later collect() reports. On Linux the figures are
    // the kernel's TCP_INFO: the sent bytes are tcpi_bytes_sent, which counts retransmitted
    // bytes too (retransmissions are also reported apart); the minimum RTT is the kernel's
    // own windowed minimum (tcpi_min_rtt) as of the collect, not a minimum over the interval.
    virtual PendingTransferReport startDataTransferReport() = 0;

    // The interface the connection uses: its path's, else the pinned one.
    virtual std::optional<NetworkInterface> pathInterface() const = 0;

    // TCP_INFO counters of the socket now; empty unless connected. Call on the executor.
    virtual std::optional<TransferCounters> readTransferCounters() const = 0;
};

}  // namespace sorvanta
