#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "platform/net/network_endpoint.h"
#include "platform/net/network_executor.h"
#include "platform/net/network_path.h"
#include "platform/net/transport_state.h"
#include "support/platform_error.h"

namespace sorvanta {

// One UDP flow to one peer, dialled or adopted from a UdpListener, on its owner's serial
// executor (see network_executor.h).
//
// States as for TCP: setup → preparing → ready, waiting(error) while the pinned interface is
// missing (retried every second), failed(error). Path and viability follow the interface;
// after ready a carrier loss gives a path update and then viability false, no waiting state.
//
// send() may be called from any thread (a pacing timer's, for one); each datagram gets exactly
// one completion, in send order, once the kernel has taken it. Sends issued inside batch() go
// to the kernel together. Any number of receiveMessage() calls may be outstanding; each
// completes with one datagram (an empty datagram as empty content), its arrival time on the
// monotonic clock, non-decreasing, taken from the kernel's receive timestamp, and how many
// entries this socket's own full receive queue had dropped before the datagram was queued.
// Drops in this socket's own receive queue are counted apart (receiveQueueDrops) from loss on
// the link.
//
// No completion or handler runs inside the call that caused it (start, send, batch,
// receiveMessage, cancel): they are posted to the executor, so a caller may hold its own lock
// across these calls. None runs after cancel(); `cancelled` is never delivered.
class UdpConnection {
  public:
    using Bytes = std::vector<std::uint8_t>;
    using Clock = std::chrono::steady_clock;
    using StateHandler = std::function<void(const TransportState&)>;
    using PathHandler = std::function<void(const NetworkPath&)>;
    using ViabilityHandler = std::function<void(bool viable)>;
    using SendCompletion = std::function<void(std::optional<PlatformError>)>;
    // The content is valid only during the call. `queueDrops` is the kernel's own stamp on the
    // datagram: receiveQueueDrops() as it stood when the datagram was queued, so that drops
    // between two datagrams are told apart from drops after both.
    using ReceiveCompletion =
        std::function<void(std::span<const std::uint8_t> content, Clock::time_point arrival,
                           std::uint64_t queueDrops, std::optional<PlatformError>)>;

    virtual ~UdpConnection() = default;

    virtual void setStateHandler(StateHandler handler) = 0;
    virtual void setPathHandler(PathHandler handler) = 0;
    virtual void setViabilityHandler(ViabilityHandler handler) = 0;

    virtual void start() = 0;
    virtual void cancel() = 0;

    virtual void send(std::shared_ptr<const Bytes> datagram, SendCompletion completion) = 0;
    // Runs `sends` (which calls send()) and hands its datagrams to the kernel together.
    virtual void batch(const std::function<void()>& sends) = 0;
    virtual void receiveMessage(ReceiveCompletion completion) = 0;

    virtual TransportState state() const = 0;
    virtual std::optional<NetworkPath> currentPath() const = 0;
    virtual const Endpoint& endpoint() const = 0;

    // Entries the kernel dropped because this socket's receive queue was full, in total since
    // the flow began: a datagram, or a run of equal datagrams the kernel kept coalesced, which
    // counts once. Nonzero means some loss was ours; the sequence numbers say how much.
    virtual std::uint64_t receiveQueueDrops() const = 0;
    // Granted buffer sizes (as the kernel reports them); 0 before ready.
    virtual int receiveBufferSize() const = 0;
    virtual int sendBufferSize() const = 0;
};

}  // namespace sorvanta
