#pragma once

#include <asio/ip/udp.hpp>
#include <asio/steady_timer.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "platform/net/network_endpoint.h"
#include "platform/net/network_executor.h"
#include "platform/net/network_parameters.h"
#include "platform/net/network_path.h"
#include "platform/net/path_watch.h"
#include "platform/net/transport_state.h"

namespace sorvanta {

// One UDP flow to one peer, dialled or adopted from a UdpListener, on its owner's serial
// executor (see network_executor.h).
//
// States as for TCP: setup → preparing → ready, waiting(error) while the pinned interface is
// missing (retried every second), failed(error). Path and viability follow the interface.
//
// send() may be called from any thread (a pacing timer's, for one); each datagram gets exactly
// one completion, in send order, once the kernel has taken it. Sends issued inside batch() go
// to the kernel together (sendmmsg). Any number of receiveMessage() calls may be outstanding;
// each completes with one datagram (an empty datagram as empty content) and its arrival time
// on the monotonic clock, non-decreasing, taken from the kernel's receive timestamp. Up to 64
// datagrams are read per wake. Drops in this socket's own receive queue are counted apart
// (receiveQueueDrops) from loss on the link. No handler runs after cancel().
class UdpConnection : public std::enable_shared_from_this<UdpConnection> {
  public:
    using Bytes = std::vector<std::uint8_t>;
    using Clock = std::chrono::steady_clock;
    using StateHandler = std::function<void(const TransportState&)>;
    using PathHandler = PathWatch::PathHandler;
    using ViabilityHandler = PathWatch::ViabilityHandler;
    using SendCompletion = std::function<void(std::optional<PlatformError>)>;
    // The content is valid only during the call.
    using ReceiveCompletion =
        std::function<void(std::span<const std::uint8_t> content, Clock::time_point arrival,
                           std::optional<PlatformError>)>;

    static constexpr std::size_t maximumBatch = 64;
    static constexpr int requestedBufferBytes = 8 * 1024 * 1024;

    static std::shared_ptr<UdpConnection> create(NetworkExecutor executor, Endpoint remote,
                                                 NetworkParameters parameters);
    ~UdpConnection();

    void setStateHandler(StateHandler handler) { stateHandler_ = std::move(handler); }
    void setPathHandler(PathHandler handler) { paths_.setPathHandler(std::move(handler)); }
    void setViabilityHandler(ViabilityHandler handler) {
        paths_.setViabilityHandler(std::move(handler));
    }

    void start();
    void cancel();

    void send(std::shared_ptr<const Bytes> datagram, SendCompletion completion);
    // Runs `sends` (which calls send()) and hands its datagrams to the kernel together.
    void batch(const std::function<void()>& sends);
    void receiveMessage(ReceiveCompletion completion);

    TransportState state() const;
    std::optional<NetworkPath> currentPath() const;
    const Endpoint& endpoint() const { return remote_; }

    // Datagrams the kernel dropped because this socket's receive queue was full.
    std::uint64_t receiveQueueDrops() const { return drops_; }
    // Granted buffer sizes (as the kernel reports them); 0 before ready.
    int receiveBufferSize() const { return receiveBufferSize_; }
    int sendBufferSize() const { return sendBufferSize_; }

  private:
    friend class UdpListener;
    UdpConnection(NetworkExecutor executor, Endpoint remote, NetworkParameters parameters);

    struct PendingSend {
        std::shared_ptr<const Bytes> datagram;
        SendCompletion completion;
    };
    struct Backlog {
        Bytes content;
        Clock::time_point arrival;
    };

    void attempt();
    void enterWaiting(PlatformError error);
    void setState(const TransportState& state);
    void refreshPath();
    void flushLocked(std::unique_lock<std::mutex>& lock);
    void deliverCompletions(std::vector<std::pair<SendCompletion, std::optional<PlatformError>>>);
    void awaitWritable();
    void armRead();
    void readable();
    void deliverBacklog();

    NetworkExecutor executor_;
    asio::ip::udp::socket socket_;
    asio::steady_timer retryTimer_;
    Endpoint remote_;
    NetworkParameters parameters_;
    std::uint16_t sharedPort_ = 0;  // adopted flows bind the listener's port
    HandlerGate gate_;
    StateHandler stateHandler_;
    PathWatch paths_;
    std::optional<Endpoint> local_;
    Endpoint peer_;
    bool started_ = false;

    // Everything below is shared between the executor and the sending threads.
    mutable std::mutex mutex_;
    TransportState state_;
    bool open_ = false;  // the socket is connected and usable
    bool cancelled_ = false;
    std::deque<PendingSend> sends_;
    std::size_t batchDepth_ = 0;
    std::thread::id batchThread_;
    bool awaitingWritable_ = false;
    std::deque<ReceiveCompletion> receives_;
    std::deque<Backlog> backlog_;
    bool awaitingReadable_ = false;
    Clock::time_point lastArrival_{};

    std::atomic<std::uint64_t> drops_{0};
    int receiveBufferSize_ = 0;
    int sendBufferSize_ = 0;

    static constexpr std::size_t slotBytes = 65536;
    std::unique_ptr<std::uint8_t[]> slots_;
};

}  // namespace sorvanta
