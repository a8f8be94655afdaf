#pragma once

#include <array>
#include <atomic>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "platform/net/data_transfer_report.h"
#include "platform/net/network_endpoint.h"
#include "platform/net/network_executor.h"
#include "platform/net/network_parameters.h"
#include "platform/net/network_path.h"
#include "platform/net/path_watch.h"
#include "platform/net/repeated_payload_file.h"
#include "platform/net/repeated_payload_pipe.h"
#include "platform/net/tcp_connection.h"
#include "platform/net/transport_state.h"

namespace sorvanta {

// The TcpConnection of this system, on a kernel socket (see tcp_connection.h for the
// contract).
//
// A dialled connection goes setup → preparing → ready. An attempt that fails before ready
// (refused, timed out, unreachable, network or pinned interface down) is reported as
// waiting(error) and tried again every second until the owner cancels; the owner's own
// deadline decides when waiting is too long. After ready a fatal socket error is
// failed(error); with liveness parameters a peer that stops answering is one, ETIMEDOUT.
// Losing carrier or the local address reports viability false and a new path.
//
// Sends complete exactly once each, in send order, once their bytes are in the kernel. A large
// buffer sent again and again (the same object) is passed to the kernel by reference, not
// copied on every write; this needs the connection's io_context run by one thread. One
// receive may be outstanding; it completes with at least `minimum` bytes (fewer only at the
// end of the stream or on error), at most `maximum`. cancel() is graceful: queued sends are
// still written (bounded to two seconds), the write side is shut down, and the socket is
// closed once the peer has acknowledged everything, so a message queued just before cancel
// reaches the peer. No handler runs after cancel(); release the object only after cancel().
class SocketTcpConnection final : public TcpConnection,
                                  public std::enable_shared_from_this<SocketTcpConnection> {
  public:
    // A connection to `remote`, not yet started.
    static std::shared_ptr<SocketTcpConnection> create(NetworkExecutor executor, Endpoint remote,
                                                       NetworkParameters parameters);
    ~SocketTcpConnection() override;

    // Handlers are set before start().
    void setStateHandler(StateHandler handler) override { stateHandler_ = std::move(handler); }
    void setPathHandler(PathHandler handler) override { paths_.setPathHandler(std::move(handler)); }
    void setViabilityHandler(ViabilityHandler handler) override {
        paths_.setViabilityHandler(std::move(handler));
    }

    // Starts on the executor given at creation; an accepted connection may be started on
    // another executor, which then runs all its work and handlers.
    void start() override;
    void start(NetworkExecutor executor) override;

    using TcpConnection::send;
    void send(std::shared_ptr<const Bytes> data, SendCompletion completion) override;
    void receive(std::size_t minimum, std::size_t maximum, ReceiveCompletion completion) override;
    void receiveCounted(std::size_t maximum, int reads, CountCompletion completion) override;
    void setReceiveLowWater(std::size_t bytes) override;
    void cancel() override;

    // Snapshot of the state and of the path (the path is known from ready on).
    TransportState state() const override;
    std::optional<NetworkPath> currentPath() const override;
    // The peer this connection dials or was accepted from.
    const Endpoint& endpoint() const override { return remote_; }

    // Starts an interval whose counters a later collect() reports.
    PendingTransferReport startDataTransferReport() override;

    // The interface the connection uses: its path's, else the pinned one.
    std::optional<NetworkInterface> pathInterface() const override;

    // TCP_INFO counters of the socket now; empty unless connected. Call on the executor.
    std::optional<TransferCounters> readTransferCounters() const override;

  private:
    friend class SocketTcpListener;
    SocketTcpConnection(NetworkExecutor executor, Endpoint remote, NetworkParameters parameters);
    static std::shared_ptr<SocketTcpConnection> adoptAccepted(NetworkExecutor executor,
                                                              asio::ip::tcp::socket socket,
                                                              NetworkParameters parameters);

    struct PendingSend {
        std::shared_ptr<const Bytes> data;
        std::size_t offset = 0;
        SendCompletion completion;
    };
    struct PendingReceive {
        std::size_t minimum = 0;
        std::size_t maximum = 0;
        std::size_t have = 0;
        ReceiveCompletion completion;
        // A counted receive: `counted` gets the count, and after a read that filled the
        // buffer up to `reads` - 1 more are made at once, without waiting.
        CountCompletion counted;
        int reads = 1;
    };

    void begin();
    void attempt();
    void connected(const asio::error_code& error);
    // Sets the liveness checks the parameters ask for on the socket, dialled or accepted.
    std::optional<PlatformError> applyLiveness();
    void becomeReady();
    void enterWaiting(PlatformError error);
    void fail(PlatformError error);
    void setState(const TransportState& state, bool deliver);
    void refreshPath();
    void readMore();
    void readDone(const asio::error_code& error, std::size_t bytes);
    // The further reads of a counted receive; adds what they got to `count`.
    std::optional<PlatformError> readReady(const PendingReceive& receive, std::size_t& count,
                                           bool& ended);
    void requestReceive(PendingReceive receive);
    void startReceive(PendingReceive receive);
    void deliver(PendingReceive& done, std::span<const std::uint8_t> data, std::size_t count,
                 bool ended, std::optional<PlatformError> error);
    void queueSend(std::shared_ptr<const Bytes> data, SendCompletion completion);
    bool onOwnThread() const;
    // Starts the next write of the queue, if none is under way: the one place that chooses
    // between the file of the repeated buffer and the queued bytes themselves. `inHandler`
    // when called from the wait for room: a write from the file then completes at once
    // instead of through the executor.
    void pumpWrites(bool inHandler = false);
    // Notes a queued send; the second send in a row of one large buffer makes it repeated.
    void notePayload(const std::shared_ptr<const Bytes>& data);
    // Writes the repeated buffer's sends at the front of the queue from its file.
    void writeRepeated(bool inHandler);
    void waitForRoom();
    void written(const asio::error_code& error, std::size_t bytes);
    void beginClose();
    void lingerUntilAcknowledged();
    void closeNow();
    std::uint8_t* receiveBuffer(std::size_t capacity);

    NetworkExecutor executor_;
    asio::ip::tcp::socket socket_;
    asio::steady_timer attemptTimer_;
    asio::steady_timer retryTimer_;
    asio::steady_timer closeTimer_;
    Endpoint remote_;
    NetworkParameters parameters_;
    bool inbound_ = false;
    HandlerGate gate_;

    StateHandler stateHandler_;
    PathWatch paths_;

    mutable std::mutex snapshotMutex_;
    TransportState state_;

    bool started_ = false;
    bool connectedOnce_ = false;
    bool attemptTimedOut_ = false;
    bool cancelled_ = false;
    bool closed_ = false;
    std::optional<Endpoint> local_;
    Endpoint peer_;

    std::optional<PendingReceive> receive_;
    std::atomic<int> postedReceives_{0};  // receives posted to the executor, not yet started
    bool reading_ = false;
    int lowWater_ = 1;  // the socket's receive low-water mark as last set
    // A quarter of the receive buffer when last asked: the highest mark that narrows nothing.
    std::size_t lowWaterCap_ = 0;
    // A rise of the mark by at most 1/lowWaterSlack of it is not set.
    static constexpr int lowWaterSlack = 16;
    std::unique_ptr<std::uint8_t[]> buffers_[2];
    std::size_t capacities_[2] = {0, 0};
    int current_ = 0;

    static constexpr std::size_t maxGather = 16;
    std::deque<PendingSend> sends_;
    std::array<asio::const_buffer, maxGather> gather_;
    std::vector<SendCompletion> completed_;  // written()'s scratch list
    std::atomic<int> postedSends_{0};        // sends posted to the executor, not yet queued
    bool writing_ = false;

    // Sends of at least this size that repeat one buffer are written from its file.
    static constexpr std::size_t repeatedMinimum = 65536;
    // Copies of the buffer in the file: one write covers up to this many queued sends.
    static constexpr std::size_t repeatedCopies = 4;
    std::shared_ptr<const Bytes> lastLarge_;  // the last large send, not yet repeated
    std::shared_ptr<const Bytes> repeated_;   // the buffer that repeat_ holds
    std::optional<RepeatedPayloadFile> repeat_;
    // The same buffer held in a pipe, when the system gives one: most writes go from there.
    std::optional<RepeatedPayloadPipe> pipe_;
    bool repeatRefused_ = false;  // the system gave no file: write every buffer as is
    bool socketFull_ = false;     // the last write found no room: wait before the next
};

}  // namespace sorvanta
