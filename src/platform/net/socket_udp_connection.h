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
#include "platform/net/udp_connection.h"

namespace sorvanta {

// The UdpConnection of this system, on a kernel socket (see udp_connection.h for the
// contract).
//
// States as for TCP: setup → preparing → ready, waiting(error) while the pinned interface is
// missing (retried every second), failed(error). Path and viability follow the interface.
//
// send() may be called from any thread (a pacing timer's, for one); each datagram gets exactly
// one completion, in send order, once the kernel has taken it. Sends issued inside batch() go
// to the kernel together (sendmmsg). Any number of receiveMessage() calls may be outstanding;
// each completes with one datagram (an empty datagram as empty content), its arrival time on
// the monotonic clock, non-decreasing, taken from the kernel's receive timestamp, and the
// kernel's count of this socket's queue drops when it queued the datagram (SO_RXQ_OVFL; a
// datagram the listener took up before the flow had a socket of its own carries 0). Up to 64
// messages are read per wake; the kernel may hand a run of equal datagrams over as one
// coalesced message, which is split again, each datagram with the run's stamps. Drops in this
// socket's own receive queue are counted apart (receiveQueueDrops) from loss on the link. No
// handler runs after cancel().
class SocketUdpConnection final : public UdpConnection,
                                  public std::enable_shared_from_this<SocketUdpConnection> {
  public:
    static constexpr std::size_t maximumBatch = 64;
    static constexpr int requestedBufferBytes = 8 * 1024 * 1024;

    static std::shared_ptr<SocketUdpConnection> create(NetworkExecutor executor, Endpoint remote,
                                                       NetworkParameters parameters);
    ~SocketUdpConnection() override;

    void setStateHandler(StateHandler handler) override { stateHandler_ = std::move(handler); }
    void setPathHandler(PathHandler handler) override { paths_.setPathHandler(std::move(handler)); }
    void setViabilityHandler(ViabilityHandler handler) override {
        paths_.setViabilityHandler(std::move(handler));
    }

    void start() override;
    void cancel() override;

    void send(std::shared_ptr<const Bytes> datagram, SendCompletion completion) override;
    // Runs `sends` (which calls send()) and hands its datagrams to the kernel together.
    void batch(const std::function<void()>& sends) override;
    void receiveMessage(ReceiveCompletion completion) override;

    TransportState state() const override;
    std::optional<NetworkPath> currentPath() const override;
    const Endpoint& endpoint() const override { return remote_; }

    // Entries the kernel dropped because this socket's receive queue was full (a coalesced
    // run counts once).
    std::uint64_t receiveQueueDrops() const override { return drops_; }
    // Granted buffer sizes (as the kernel reports them); 0 before ready.
    int receiveBufferSize() const override { return receiveBufferSize_; }
    int sendBufferSize() const override { return sendBufferSize_; }

  private:
    friend class SocketUdpListener;
    SocketUdpConnection(NetworkExecutor executor, Endpoint remote, NetworkParameters parameters);

    struct PendingSend {
        std::shared_ptr<const Bytes> datagram;
        SendCompletion completion;
    };
    struct Backlog {
        Bytes content;
        Clock::time_point arrival;
        std::uint64_t queueDrops = 0;
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

  public:
    // One datagram of the last read, in the slots.
    struct Arrived {
        std::size_t offset;
        std::size_t length;
        Clock::time_point arrival;
        std::uint64_t queueDrops;
    };
    // Splits one read message (at `offset` in the slots) into its datagrams: `segment` is
    // the size the kernel gave a coalesced message, 0 for a plain one.
    static void splitDatagrams(std::size_t offset, std::size_t length, std::size_t segment,
                               Clock::time_point arrival, std::uint64_t queueDrops,
                               std::vector<Arrived>& into);

  private:
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
    bool reading_ = false;  // readable() is delivering the datagrams of a read
    Clock::time_point lastArrival_{};

    std::atomic<std::uint64_t> drops_{0};
    int receiveBufferSize_ = 0;
    int sendBufferSize_ = 0;

    // Segmented sends: each segment must fit one link frame, and a message the IPv4 limit.
    static constexpr std::size_t largestSegment = 1400;
    static constexpr std::size_t largestSegmentedMessage = 65000;
    bool segmenting_ = true;  // under mutex_; cleared when the path refuses segmentation

    static constexpr std::size_t slotBytes = 65536;
    std::unique_ptr<std::uint8_t[]> slots_;
    std::vector<Arrived> arrived_;  // only on the executor
};

}  // namespace sorvanta
