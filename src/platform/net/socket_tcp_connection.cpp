#include "platform/net/socket_tcp_connection.h"

#include <linux/sockios.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <cerrno>

#include "platform/net/path_evaluation.h"
#include "platform/net/pinned_interface.h"
#include "platform/net/retry_schedule.h"
#include "platform/net/socket_support.h"
#include "platform/net/tcp_info_reader.h"

namespace sorvanta {

namespace {

constexpr auto attemptLimit = std::chrono::seconds(5);
constexpr auto closeLimit = std::chrono::seconds(2);
constexpr auto lingerPoll = std::chrono::milliseconds(1);

}  // namespace

std::shared_ptr<SocketTcpConnection> SocketTcpConnection::create(NetworkExecutor executor,
                                                                 Endpoint remote,
                                                                 NetworkParameters parameters) {
    return std::shared_ptr<SocketTcpConnection>(
        new SocketTcpConnection(std::move(executor), std::move(remote), std::move(parameters)));
}

std::shared_ptr<SocketTcpConnection> SocketTcpConnection::adoptAccepted(
    NetworkExecutor executor, asio::ip::tcp::socket socket, NetworkParameters parameters) {
    asio::error_code error;
    const auto peer = socket.remote_endpoint(error);
    auto connection = create(std::move(executor), Endpoint::from(peer), std::move(parameters));
    connection->socket_ = std::move(socket);
    connection->inbound_ = true;
    return connection;
}

SocketTcpConnection::SocketTcpConnection(NetworkExecutor executor, Endpoint remote,
                                         NetworkParameters parameters)
    : executor_(executor),
      socket_(executor),
      attemptTimer_(executor),
      retryTimer_(executor),
      closeTimer_(executor),
      remote_(std::move(remote)),
      parameters_(std::move(parameters)) {
    remote_.host = unmapped(remote_.host);
}

SocketTcpConnection::~SocketTcpConnection() = default;

void SocketTcpConnection::start() {
    asio::post(executor_, [self = shared_from_this()] { self->begin(); });
}

void SocketTcpConnection::start(NetworkExecutor executor) {
    if (!started_ && executor != executor_) {
        // Not started yet, so nothing runs on the old executor: move the socket over.
        asio::error_code error;
        const auto local = socket_.local_endpoint(error);
        const int fd = socket_.is_open() && !error ? socket_.release(error) : -1;
        executor_ = executor;
        socket_ = asio::ip::tcp::socket(executor);
        if (fd >= 0) {
            socket_.assign(local.protocol(), fd, error);
        }
        attemptTimer_ = asio::steady_timer(executor);
        retryTimer_ = asio::steady_timer(executor);
        closeTimer_ = asio::steady_timer(executor);
    }
    start();
}

void SocketTcpConnection::begin() {
    if (started_ || cancelled_) {
        return;
    }
    started_ = true;
    setState({TransportState::Kind::preparing, {}}, true);
    if (inbound_) {
        if (!socket_.is_open()) {
            fail(PlatformError::posix(ENOTCONN));
            return;
        }
        if (auto refused = applyLiveness()) {
            fail(*refused);
            return;
        }
        connected({});
        return;
    }
    attempt();
}

void SocketTcpConnection::attempt() {
    if (cancelled_) {
        return;
    }
    asio::error_code error;
    socket_.close(error);
    const asio::ip::tcp::endpoint target(scopedToPinnedInterface(remote_.host, parameters_),
                                         remote_.port);
    socket_.open(target.protocol(), error);
    if (error) {
        enterWaiting(platformError(error));
        return;
    }
    if (auto refused = pinSocket(socket_.native_handle(), parameters_)) {
        enterWaiting(*refused);
        return;
    }
    if (auto refused = applyLiveness()) {
        enterWaiting(*refused);
        return;
    }
    attemptTimedOut_ = false;
    attemptTimer_.expires_after(attemptLimit);
    attemptTimer_.async_wait([weak = weak_from_this()](const asio::error_code& e) {
        auto self = weak.lock();
        if (e || !self || self->cancelled_) {
            return;
        }
        self->attemptTimedOut_ = true;
        asio::error_code ignored;
        self->socket_.cancel(ignored);
    });
    socket_.async_connect(target, [self = shared_from_this()](const asio::error_code& e) {
        self->attemptTimer_.cancel();
        self->connected(e);
    });
}

std::optional<PlatformError> SocketTcpConnection::applyLiveness() {
    if (!parameters_.liveness) {
        return std::nullopt;
    }
    return sorvanta::applyLiveness(socket_.native_handle(), *parameters_.liveness);
}

void SocketTcpConnection::connected(const asio::error_code& error) {
    if (cancelled_) {
        return;
    }
    if (error) {
        enterWaiting(attemptTimedOut_ ? PlatformError::posix(ETIMEDOUT) : platformError(error));
        return;
    }
    asio::error_code ignored;
    local_ = Endpoint::from(socket_.local_endpoint(ignored));
    // The peer as the kernel sees it: an IPv6 link-local peer with its scope.
    const auto peer = socket_.remote_endpoint(ignored);
    peer_ = ignored ? remote_ : Endpoint::from(peer);
    NetworkPath path = evaluatePath(parameters_, local_, peer_);
    if (!inbound_ && !parameters_.requiredInterface && path.availableInterfaces.empty() &&
        (parameters_.requiredInterfaceType || !parameters_.prohibitedInterfaceTypes.empty())) {
        // The route chose an interface these parameters do not allow.
        enterWaiting(PlatformError::posix(ENETUNREACH));
        return;
    }
    paths_.begin(path);
    becomeReady();
}

void SocketTcpConnection::becomeReady() {
    connectedOnce_ = true;
    retryTimer_.cancel();
    setState({TransportState::Kind::ready, {}}, true);
    if (cancelled_) {
        return;
    }
    paths_.follow(executor_, [weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->refreshPath();
        }
    });
    // The path may have changed between the connect and the watcher's subscription.
    refreshPath();
    if (receive_ && !reading_) {
        readMore();
    }
    pumpWrites();
}

void SocketTcpConnection::enterWaiting(PlatformError error) {
    asio::error_code ignored;
    socket_.close(ignored);
    const TransportState waiting = TransportState::waiting(error);
    if (state() != waiting) {
        setState(waiting, true);
    }
    if (cancelled_) {
        return;
    }
    scheduleRetry(retryTimer_, weak_from_this(), &SocketTcpConnection::attempt);
}

void SocketTcpConnection::fail(PlatformError error) {
    if (closed_ || state().kind == TransportState::Kind::failed) {
        return;
    }
    auto sends = std::move(sends_);
    sends_.clear();
    auto receive = std::move(receive_);
    receive_.reset();
    closeNow();
    for (auto& send : sends) {
        if (gate_.isOpen() && send.completion) {
            send.completion(error);
        }
    }
    if (receive && gate_.isOpen()) {
        deliver(*receive, {}, 0, false, error);
    }
    setState(TransportState::failed(error), true);
}

void SocketTcpConnection::setState(const TransportState& state, bool deliver) {
    {
        std::lock_guard lock(snapshotMutex_);
        state_ = state;
    }
    if (deliver && gate_.isOpen() && stateHandler_) {
        stateHandler_(state);
    }
}

TransportState SocketTcpConnection::state() const {
    std::lock_guard lock(snapshotMutex_);
    return state_;
}

std::optional<NetworkPath> SocketTcpConnection::currentPath() const {
    return paths_.current();
}

void SocketTcpConnection::refreshPath() {
    if (cancelled_ || closed_ || state().kind != TransportState::Kind::ready) {
        return;
    }
    paths_.update(evaluatePath(parameters_, local_, peer_), gate_);
}

void SocketTcpConnection::send(std::shared_ptr<const Bytes> data, SendCompletion completion) {
    // Called on its own thread with no posted send still waiting, the send joins the queue at
    // once: the order of sends is kept, the write may start now, and its completion is still
    // posted. A stream of sends from the owner then costs no extra turn of the executor.
    if (postedSends_.load(std::memory_order_acquire) == 0 && gate_.isOpen() && onOwnThread()) {
        queueSend(std::move(data), std::move(completion));
        return;
    }
    postedSends_.fetch_add(1, std::memory_order_acq_rel);
    asio::post(executor_, [self = shared_from_this(), data = std::move(data),
                           completion = std::move(completion)]() mutable {
        self->postedSends_.fetch_sub(1, std::memory_order_acq_rel);
        self->queueSend(std::move(data), std::move(completion));
    });
}

bool SocketTcpConnection::onOwnThread() const {
    if (const auto* io = executor_.target<asio::io_context::executor_type>()) {
        return io->running_in_this_thread();
    }
    return false;
}

void SocketTcpConnection::queueSend(std::shared_ptr<const Bytes> data, SendCompletion completion) {
    if (cancelled_) {
        return;
    }
    if (closed_) {
        const PlatformError error = state().kind == TransportState::Kind::failed
                                        ? state().error
                                        : PlatformError::posix(ENOTCONN);
        gate_.post(executor_, [completion = std::move(completion), error] {
            if (completion) {
                completion(error);
            }
        });
        return;
    }
    notePayload(data);
    sends_.push_back({std::move(data), 0, std::move(completion)});
    pumpWrites();
}

void SocketTcpConnection::notePayload(const std::shared_ptr<const Bytes>& data) {
    if (repeatRefused_ || !data || data->size() < repeatedMinimum || data == repeated_) {
        return;
    }
    if (data != lastLarge_) {
        lastLarge_ = data;
        return;
    }
    // The caller holds the bytes const and sends the same object again: a stream of one
    // buffer. The file is made once; the bytes are then never copied per write.
    lastLarge_.reset();
    repeat_ = RepeatedPayloadFile::create(*data, repeatedCopies);
    if (!repeat_) {
        repeatRefused_ = true;
        return;
    }
    pipe_ = RepeatedPayloadPipe::create(*data, repeatedCopies);
    repeated_ = data;
}

void SocketTcpConnection::pumpWrites(bool inHandler) {
    if (writing_ || sends_.empty() || closed_ || !connectedOnce_) {
        return;
    }
    // Only a thread that holds SIGPIPE blocked may send from the file.
    if (repeat_ && sends_.front().data == repeated_ && RepeatedPayloadFile::threadPrepared()) {
        writeRepeated(inHandler);
        return;
    }
    // The buffer list lives in the object: the write keeps a view of it until it completes.
    auto& buffers = gather_;
    std::size_t count = 0;
    for (const auto& send : sends_) {
        if (count == maxGather) {
            break;
        }
        const std::size_t size = send.data ? send.data->size() : 0;
        buffers[count++] = asio::const_buffer(send.data ? send.data->data() + send.offset : nullptr,
                                              size - send.offset);
    }
    writing_ = true;
    socket_.async_write_some(
        std::span<const asio::const_buffer>(buffers.data(), count),
        [self = shared_from_this()](const asio::error_code& error, std::size_t bytes) {
            self->written(error, bytes);
        });
}

void SocketTcpConnection::writeRepeated(bool inHandler) {
    if (socketFull_) {
        waitForRoom();
        return;
    }
    // The queued sends of the buffer from the front are one range of the file.
    std::size_t run = 0;
    for (const auto& send : sends_) {
        if (send.data != repeated_) {
            break;
        }
        run += send.data->size() - send.offset;
    }
    const std::size_t offset = sends_.front().offset;
    if (!socket_.native_non_blocking()) {
        asio::error_code ignored;
        socket_.native_non_blocking(true, ignored);
    }
    // From the pipe where it can stage the run; from the file where it cannot (a run that
    // begins inside a copy with nothing staged), and then only to the end of that copy, so
    // that the next write begins a whole one and goes from the pipe again.
    std::size_t length = pipe_ ? std::min(run, pipe_->capacity()) : 0;
    long sent = pipe_ ? pipe_->sendTo(socket_.native_handle(), offset, length) : -ENOTSUP;
    if (sent == -ENOTSUP) {
        length = std::min(run, (pipe_ ? pipe_->size() : repeat_->size()) - offset);
        sent = repeat_->sendTo(socket_.native_handle(), offset, length);
    }
    if (sent == -EAGAIN || sent == -EWOULDBLOCK) {
        socketFull_ = true;
        waitForRoom();
        return;
    }
    asio::error_code error;
    std::size_t bytes = 0;
    if (sent < 0) {
        error = asio::error_code(static_cast<int>(-sent), asio::system_category());
    } else {
        bytes = static_cast<std::size_t>(sent);
        socketFull_ = bytes < length;
    }
    writing_ = true;
    if (inHandler) {
        written(error, bytes);
        return;
    }
    // Called from a send: its completion must not run inside that call.
    asio::post(executor_,
               [self = shared_from_this(), error, bytes] { self->written(error, bytes); });
}

void SocketTcpConnection::waitForRoom() {
    // The write that found no room left the socket asking for a wake-up once room is free.
    writing_ = true;
    socket_.async_wait(asio::socket_base::wait_write,
                       [self = shared_from_this()](const asio::error_code& error) {
                           self->writing_ = false;
                           if (self->closed_) {
                               return;
                           }
                           if (error) {
                               self->written(error, 0);
                               return;
                           }
                           self->socketFull_ = false;
                           self->pumpWrites(true);
                       });
}

void SocketTcpConnection::written(const asio::error_code& error, std::size_t bytes) {
    writing_ = false;
    if (closed_) {
        return;
    }
    if (error) {
        if (cancelled_) {
            closeNow();
        } else {
            fail(platformError(error));
        }
        return;
    }
    // Kept between writes: a stream of sends completes without an allocation per write.
    auto& done = completed_;
    done.clear();
    while (!sends_.empty()) {
        PendingSend& front = sends_.front();
        const std::size_t remaining = (front.data ? front.data->size() : 0) - front.offset;
        if (remaining > bytes) {
            front.offset += bytes;
            break;
        }
        bytes -= remaining;
        done.push_back(std::move(front.completion));
        sends_.pop_front();
    }
    pumpWrites();
    for (auto& completion : done) {
        if (gate_.isOpen() && completion) {
            completion(std::nullopt);
        }
    }
    done.clear();
    if (cancelled_ && sends_.empty() && !writing_) {
        lingerUntilAcknowledged();
    }
}

void SocketTcpConnection::receive(std::size_t minimum, std::size_t maximum,
                                  ReceiveCompletion completion) {
    PendingReceive receive;
    receive.minimum = minimum;
    receive.maximum = maximum;
    receive.completion = std::move(completion);
    requestReceive(std::move(receive));
}

void SocketTcpConnection::receiveCounted(std::size_t maximum, int reads,
                                         CountCompletion completion) {
    PendingReceive receive;
    receive.minimum = 1;
    receive.maximum = maximum;
    receive.counted = std::move(completion);
    receive.reads = std::max(reads, 1);
    requestReceive(std::move(receive));
}

void SocketTcpConnection::requestReceive(PendingReceive receive) {
    // Asked on its own thread with no posted receive still waiting, the receive starts at
    // once: a reader that asks again from its completion then costs no extra turn of the
    // executor per read. The read itself completes through the executor, so the completion
    // still never runs inside this call.
    if (postedReceives_.load(std::memory_order_acquire) == 0 && gate_.isOpen() && onOwnThread()) {
        startReceive(std::move(receive));
        return;
    }
    postedReceives_.fetch_add(1, std::memory_order_acq_rel);
    asio::post(executor_, [self = shared_from_this(), receive = std::move(receive)]() mutable {
        self->postedReceives_.fetch_sub(1, std::memory_order_acq_rel);
        self->startReceive(std::move(receive));
    });
}

void SocketTcpConnection::startReceive(PendingReceive receive) {
    if (cancelled_) {
        return;
    }
    const auto refuse = [&](PlatformError error) {
        gate_.post(executor_, [self = shared_from_this(), receive = std::move(receive),
                               error]() mutable { self->deliver(receive, {}, 0, false, error); });
    };
    if (receive_) {
        refuse(PlatformError::posix(EALREADY));  // one receive at a time
        return;
    }
    if (receive.maximum == 0 || receive.minimum > receive.maximum) {
        refuse(PlatformError::posix(EINVAL));
        return;
    }
    if (closed_) {
        const auto current = state();
        refuse(current.kind == TransportState::Kind::failed ? current.error
                                                            : PlatformError::posix(ENOTCONN));
        return;
    }
    receive.minimum = std::max<std::size_t>(receive.minimum, 1);
    receive_ = std::move(receive);
    if (connectedOnce_ && !reading_) {
        readMore();
    }
}

void SocketTcpConnection::deliver(PendingReceive& done, std::span<const std::uint8_t> data,
                                  std::size_t count, bool ended,
                                  std::optional<PlatformError> error) {
    if (done.counted) {
        done.counted(count, ended, error);
    } else if (done.completion) {
        done.completion(data, ended, error);
    }
}

std::uint8_t* SocketTcpConnection::receiveBuffer(std::size_t capacity) {
    if (capacities_[current_] < capacity) {
        // Not value-initialised: the kernel writes it, nobody reads what it did not write.
        buffers_[current_].reset(new std::uint8_t[capacity]);
        capacities_[current_] = capacity;
    }
    return buffers_[current_].get();
}

void SocketTcpConnection::readMore() {
    std::size_t offset = 0;
    std::size_t room = 65536;  // draining after cancel
    if (receive_ && !cancelled_) {
        offset = receive_->have;
        room = receive_->maximum - receive_->have;
    }
    std::uint8_t* buffer = receiveBuffer(offset + room);
    reading_ = true;
    socket_.async_read_some(
        asio::buffer(buffer + offset, room),
        [self = shared_from_this()](const asio::error_code& error, std::size_t bytes) {
            self->readDone(error, bytes);
        });
}

void SocketTcpConnection::readDone(const asio::error_code& error, std::size_t bytes) {
    reading_ = false;
    if (closed_) {
        return;
    }
    if (cancelled_) {
        // Draining the peer's bytes while our last sends are acknowledged.
        if (error) {
            closeNow();
        } else {
            readMore();
        }
        return;
    }
    if (!receive_) {
        return;
    }
    receive_->have += bytes;
    bool ended = error == asio::error::eof;
    if (!error && receive_->have < receive_->minimum) {
        readMore();
        return;
    }
    PendingReceive done = std::move(*receive_);
    receive_.reset();
    const std::span<const std::uint8_t> data(buffers_[current_].get(), done.have);
    std::size_t count = done.have;
    std::optional<PlatformError> failure;
    if (error && !ended) {
        failure = platformError(error);
    } else if (!ended && done.reads > 1 && done.have == done.maximum) {
        // The read filled the buffer: more is likely waiting; take it now, in this batch.
        failure = readReady(done, count, ended);
    }
    // The next receive fills the other buffer, so these bytes stay intact during the call
    // even if the handler asks for more at once.
    current_ ^= 1;
    if (failure) {
        if (gate_.isOpen()) {
            deliver(done, data, count, false, failure);
        }
        fail(*failure);
        return;
    }
    if (gate_.isOpen()) {
        deliver(done, data, count, ended, std::nullopt);
    }
}

std::optional<PlatformError> SocketTcpConnection::readReady(const PendingReceive& receive,
                                                            std::size_t& count, bool& ended) {
    // Only counted: every further read overwrites the same bytes.
    std::uint8_t* buffer = buffers_[current_].get();
    for (int read = 1; read < receive.reads; ++read) {
        const ssize_t got =
            ::recv(socket_.native_handle(), buffer, receive.maximum, MSG_DONTWAIT);
        if (got < 0) {
            if (errno == EINTR) {
                --read;
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                return std::nullopt;
            }
            return PlatformError::posix(errno);
        }
        if (got == 0) {
            ended = true;
            return std::nullopt;
        }
        count += static_cast<std::size_t>(got);
        if (static_cast<std::size_t>(got) < receive.maximum) {
            return std::nullopt;  // drained
        }
    }
    return std::nullopt;
}

void SocketTcpConnection::setReceiveLowWater(std::size_t bytes) {
    if (closed_ || cancelled_ || !connectedOnce_ || !socket_.is_open()) {
        return;
    }
    // The kernel makes room for twice the mark and, when the buffer is smaller than that,
    // clamps the advertised window to the mark; a quarter of the buffer stays clear of both.
    // The buffer only grows while the stream runs, so it is asked for again only when a
    // mark would be cut by what it was last time.
    const int fd = socket_.native_handle();
    if (lowWaterCap_ == 0 || bytes > lowWaterCap_) {
        lowWaterCap_ = static_cast<std::size_t>(std::max(socketBufferSize(fd, SO_RCVBUF) / 4, 1));
    }
    const int mark = static_cast<int>(std::clamp<std::size_t>(bytes, 1, lowWaterCap_));
    // A lower mark takes effect at once, or bytes already waiting could stay there; a higher
    // one only once it is worth a system call, since a slightly low mark costs only a few
    // more wake-ups.
    const bool worthRaising = mark - lowWater_ > lowWater_ / lowWaterSlack;
    if ((mark < lowWater_ || worthRaising) &&
        ::setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &mark, sizeof mark) == 0) {
        lowWater_ = mark;
    }
}

void SocketTcpConnection::cancel() {
    gate_.close();
    asio::post(executor_, [self = shared_from_this()] { self->beginClose(); });
}

void SocketTcpConnection::beginClose() {
    if (cancelled_) {
        return;
    }
    cancelled_ = true;
    setState({TransportState::Kind::cancelled, {}}, false);
    if (lowWater_ != 1 && !closed_) {
        // Draining before the close must see every byte, however few.
        const int mark = 1;
        ::setsockopt(socket_.native_handle(), SOL_SOCKET, SO_RCVLOWAT, &mark, sizeof mark);
        lowWater_ = 1;
    }
    attemptTimer_.cancel();
    retryTimer_.cancel();
    paths_.stop();
    if (!connectedOnce_ || closed_) {
        closeNow();
        return;
    }
    closeTimer_.expires_after(closeLimit);
    closeTimer_.async_wait([self = shared_from_this()](const asio::error_code& error) {
        if (!error) {
            self->closeNow();
        }
    });
    if (!writing_ && sends_.empty()) {
        lingerUntilAcknowledged();
    }
    // Otherwise written() continues the queue and lingers once it is empty.
}

void SocketTcpConnection::lingerUntilAcknowledged() {
    if (closed_) {
        return;
    }
    asio::error_code ignored;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
    if (!reading_) {
        readMore();  // drain, so that closing does not reset the connection
    }
    // Poll the unacknowledged byte count; once the peer holds everything, close.
    int unacknowledged = 0;
    if (::ioctl(socket_.native_handle(), SIOCOUTQ, &unacknowledged) != 0 || unacknowledged == 0) {
        closeNow();
        return;
    }
    auto poll = std::make_shared<asio::steady_timer>(executor_, lingerPoll);
    poll->async_wait([self = shared_from_this(), poll](const asio::error_code& error) {
        if (!error && !self->closed_) {
            self->lingerUntilAcknowledged();
        }
    });
}

void SocketTcpConnection::closeNow() {
    if (closed_) {
        return;
    }
    closed_ = true;
    closeTimer_.cancel();
    attemptTimer_.cancel();
    retryTimer_.cancel();
    paths_.stop();
    asio::error_code ignored;
    socket_.close(ignored);
}

std::optional<TransferCounters> SocketTcpConnection::readTransferCounters() const {
    if (closed_ || !connectedOnce_ || !socket_.is_open()) {
        return std::nullopt;
    }
    const auto info = readTcpInfo(const_cast<asio::ip::tcp::socket&>(socket_).native_handle());
    if (!info) {
        return std::nullopt;
    }
    TransferCounters counters;
    counters.at = std::chrono::steady_clock::now();
    counters.sentBytes = info->bytesSent;
    counters.retransmittedBytes = info->bytesRetransmitted;
    counters.smoothedRtt = info->smoothedRttMicroseconds / 1e6;
    counters.minimumRtt = info->minimumRttMicroseconds / 1e6;
    counters.rttVariance = info->rttVarianceMicroseconds / 1e6;
    return counters;
}

std::optional<NetworkInterface> SocketTcpConnection::pathInterface() const {
    if (const auto path = paths_.current(); path && !path->availableInterfaces.empty()) {
        return path->availableInterfaces.front();
    }
    return parameters_.requiredInterface;
}

PendingTransferReport SocketTcpConnection::startDataTransferReport() {
    return PendingTransferReport(weak_from_this(), executor_, std::chrono::steady_clock::now(),
                                 readTransferCounters());
}

}  // namespace sorvanta
