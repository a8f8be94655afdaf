#include "platform/net/socket_udp_connection.h"

#include <linux/sock_diag.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <asio/post.hpp>
#include <cerrno>
#include <cstring>

#include "platform/net/path_evaluation.h"
#include "platform/net/pinned_interface.h"
#include "platform/net/retry_schedule.h"
#include "platform/net/socket_support.h"

namespace sorvanta {

namespace {

std::int64_t clockNanoseconds(clockid_t clock) {
    timespec now{};
    ::clock_gettime(clock, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

}  // namespace

std::shared_ptr<SocketUdpConnection> SocketUdpConnection::create(NetworkExecutor executor,
                                                                 Endpoint remote,
                                                                 NetworkParameters parameters) {
    return std::shared_ptr<SocketUdpConnection>(
        new SocketUdpConnection(std::move(executor), std::move(remote), std::move(parameters)));
}

SocketUdpConnection::SocketUdpConnection(NetworkExecutor executor, Endpoint remote,
                                         NetworkParameters parameters)
    : executor_(executor),
      socket_(executor),
      retryTimer_(executor),
      remote_(std::move(remote)),
      parameters_(std::move(parameters)) {
    remote_.host = unmapped(remote_.host);
    parameters_.transport = NetworkParameters::Transport::udp;
}

SocketUdpConnection::~SocketUdpConnection() = default;

void SocketUdpConnection::start() {
    asio::post(executor_, [self = shared_from_this()] {
        if (self->started_ || !self->gate_.isOpen()) {
            return;
        }
        self->started_ = true;
        self->setState({TransportState::Kind::preparing, {}});
        self->attempt();
    });
}

void SocketUdpConnection::setState(const TransportState& state) {
    {
        std::lock_guard lock(mutex_);
        state_ = state;
    }
    if (gate_.isOpen() && stateHandler_) {
        stateHandler_(state);
    }
}

TransportState SocketUdpConnection::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

std::optional<NetworkPath> SocketUdpConnection::currentPath() const {
    return paths_.current();
}

void SocketUdpConnection::enterWaiting(PlatformError error) {
    asio::error_code ignored;
    socket_.close(ignored);
    if (state() != TransportState::waiting(error)) {
        setState(TransportState::waiting(error));
    }
    if (!gate_.isOpen()) {
        return;
    }
    scheduleRetry(retryTimer_, weak_from_this(), &SocketUdpConnection::attempt);
}

void SocketUdpConnection::attempt() {
    if (!gate_.isOpen()) {
        return;
    }
    asio::ip::udp::endpoint target = remote_.udp();
    target.address(scopedToPinnedInterface(target.address(), parameters_));
    asio::error_code error;
    socket_.close(error);
    socket_.open(target.protocol(), error);
    if (error) {
        enterWaiting(platformError(error));
        return;
    }
    const int fd = socket_.native_handle();
    if (auto refused = pinSocket(fd, parameters_)) {
        enterWaiting(*refused);
        return;
    }
    askLargeBuffers(fd, requestedBufferBytes);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
    ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    // Runs of equal datagrams may arrive coalesced, one queue entry each: fewer wakes and
    // reads, and a small receive buffer holds more of them. Split again on reading.
    ::setsockopt(fd, SOL_UDP, UDP_GRO, &on, sizeof on);
    if (sharedPort_ != 0) {
        // An adopted flow shares the listener's port; being connected, it receives the
        // flow's datagrams in preference to the listener.
        socket_.set_option(asio::socket_base::reuse_address(true), error);
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
        const auto any = target.address().is_v4() ? asio::ip::address(asio::ip::address_v4::any())
                                                  : asio::ip::address(asio::ip::address_v6::any());
        socket_.bind({any, sharedPort_}, error);
    }
    if (!error) {
        socket_.connect(target, error);
    }
    if (error) {
        enterWaiting(platformError(error));
        return;
    }
    receiveBufferSize_ = socketBufferSize(fd, SO_RCVBUF);
    sendBufferSize_ = socketBufferSize(fd, SO_SNDBUF);
    if (!slots_) {
        slots_.reset(new std::uint8_t[slotBytes * maximumBatch]);
    }
    asio::error_code ignored;
    local_ = Endpoint::from(socket_.local_endpoint(ignored));
    peer_ = Endpoint::from(socket_.remote_endpoint(ignored));
    paths_.begin(evaluatePath(parameters_, local_, peer_));
    {
        std::lock_guard lock(mutex_);
        open_ = true;
    }
    retryTimer_.cancel();
    setState({TransportState::Kind::ready, {}});
    if (!gate_.isOpen()) {
        return;
    }
    paths_.follow(executor_, [weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->refreshPath();
        }
    });
    refreshPath();
    {
        std::unique_lock lock(mutex_);
        flushLocked(lock);
    }
    armRead();
}

void SocketUdpConnection::refreshPath() {
    if (!gate_.isOpen() || state().kind != TransportState::Kind::ready) {
        return;
    }
    paths_.update(evaluatePath(parameters_, local_, peer_), gate_);
}

void SocketUdpConnection::cancel() {
    gate_.close();
    {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
        open_ = false;
        state_ = {TransportState::Kind::cancelled, {}};
        sends_.clear();
        receives_.clear();
        backlog_.clear();
    }
    asio::post(executor_, [self = shared_from_this()] {
        self->retryTimer_.cancel();
        self->paths_.stop();
        asio::error_code ignored;
        self->socket_.close(ignored);
    });
}

void SocketUdpConnection::send(std::shared_ptr<const Bytes> datagram, SendCompletion completion) {
    std::unique_lock lock(mutex_);
    if (cancelled_) {
        return;
    }
    sends_.push_back({std::move(datagram), std::move(completion)});
    if (batchDepth_ > 0 && batchThread_ == std::this_thread::get_id()) {
        return;  // the batch hands everything over at its end
    }
    flushLocked(lock);
}

void SocketUdpConnection::batch(const std::function<void()>& sends) {
    {
        std::lock_guard lock(mutex_);
        ++batchDepth_;
        batchThread_ = std::this_thread::get_id();
    }
    sends();
    std::unique_lock lock(mutex_);
    --batchDepth_;
    flushLocked(lock);
}

void SocketUdpConnection::flushLocked(std::unique_lock<std::mutex>& lock) {
    if (!open_ || awaitingWritable_ || sends_.empty()) {
        return;
    }
    std::vector<std::pair<SendCompletion, std::optional<PlatformError>>> done;
    std::array<mmsghdr, maximumBatch> messages;
    std::array<iovec, maximumBatch> vectors;
    std::array<std::size_t, maximumBatch> groups;  // datagrams carried by each message
    constexpr std::size_t controlBytes = CMSG_SPACE(sizeof(std::uint16_t));
    alignas(cmsghdr) std::array<std::array<char, controlBytes>, maximumBatch> controls;
    const int fd = socket_.native_handle();
    while (!sends_.empty()) {
        // Runs of equal-sized datagrams go to the kernel as one segmented message each: the
        // stack is walked once per run instead of once per datagram, and every datagram
        // still leaves as a datagram of its own.
        const std::size_t count = std::min(sends_.size(), maximumBatch);
        std::size_t used = 0;
        for (std::size_t i = 0; i < count;) {
            const auto& datagram = sends_[i].datagram;
            const std::size_t size = datagram ? datagram->size() : 0;
            std::size_t run = 1;
            if (segmenting_ && size > 0 && size <= largestSegment) {
                while (i + run < count && (run + 1) * size <= largestSegmentedMessage &&
                       sends_[i + run].datagram && sends_[i + run].datagram->size() == size) {
                    ++run;
                }
            }
            for (std::size_t k = 0; k < run; ++k) {
                const auto& part = sends_[i + k].datagram;
                vectors[i + k].iov_base = part ? const_cast<std::uint8_t*>(part->data()) : nullptr;
                vectors[i + k].iov_len = part ? part->size() : 0;
            }
            messages[used] = {};
            messages[used].msg_hdr.msg_iov = &vectors[i];
            messages[used].msg_hdr.msg_iovlen = run;
            if (run > 1) {
                messages[used].msg_hdr.msg_control = controls[used].data();
                messages[used].msg_hdr.msg_controllen = controlBytes;
                cmsghdr* c = CMSG_FIRSTHDR(&messages[used].msg_hdr);
                c->cmsg_level = SOL_UDP;
                c->cmsg_type = UDP_SEGMENT;
                c->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
                const auto segment = static_cast<std::uint16_t>(size);
                std::memcpy(CMSG_DATA(c), &segment, sizeof segment);
            }
            groups[used++] = run;
            i += run;
        }
        const int sent = ::sendmmsg(fd, messages.data(), static_cast<unsigned>(used), MSG_DONTWAIT);
        if (sent > 0) {
            for (int m = 0; m < sent; ++m) {
                for (std::size_t k = 0; k < groups[m]; ++k) {
                    done.emplace_back(std::move(sends_.front().completion), std::nullopt);
                    sends_.pop_front();
                }
            }
            continue;
        }
        const int error = errno;
        if (error == EINTR) {
            continue;
        }
        if (groups[0] > 1 && (error == EINVAL || error == EIO || error == ENOPROTOOPT ||
                              error == EOPNOTSUPP || error == EMSGSIZE)) {
            // This path cannot segment (no checksum offload, a smaller MTU, an older
            // kernel): send datagram by datagram from now on.
            segmenting_ = false;
            continue;
        }
        if (error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS) {
            awaitingWritable_ = true;
            asio::post(executor_, [self = shared_from_this()] { self->awaitWritable(); });
            break;
        }
        // This datagram cannot go (the peer refused an earlier one, say); the rest may.
        done.emplace_back(std::move(sends_.front().completion), PlatformError::posix(error));
        sends_.pop_front();
    }
    if (!done.empty()) {
        // Posted while the lock is held, so completions keep the order of their sends.
        gate_.post(executor_, [done = std::move(done)]() mutable {
            for (auto& [completion, error] : done) {
                if (completion) {
                    completion(error);
                }
            }
        });
    }
    (void)lock;
}

void SocketUdpConnection::awaitWritable() {
    socket_.async_wait(asio::socket_base::wait_write,
                       [self = shared_from_this()](const asio::error_code& error) {
                           std::unique_lock lock(self->mutex_);
                           self->awaitingWritable_ = false;
                           if (!error) {
                               self->flushLocked(lock);
                           }
                       });
}

void SocketUdpConnection::receiveMessage(ReceiveCompletion completion) {
    {
        std::lock_guard lock(mutex_);
        if (cancelled_) {
            return;
        }
        receives_.push_back(std::move(completion));
        if (awaitingReadable_ || reading_) {
            return;  // the wait's end or the read in progress reads again for it
        }
    }
    asio::post(executor_, [self = shared_from_this()] { self->armRead(); });
}

void SocketUdpConnection::deliverBacklog() {
    std::unique_lock lock(mutex_);
    while (open_ && !backlog_.empty() && !receives_.empty()) {
        Backlog item = std::move(backlog_.front());
        backlog_.pop_front();
        ReceiveCompletion completion = std::move(receives_.front());
        receives_.pop_front();
        lastArrival_ = std::max(lastArrival_, item.arrival);
        lock.unlock();
        if (gate_.isOpen() && completion) {
            completion(item.content, item.arrival, item.queueDrops, std::nullopt);
        }
        lock.lock();
    }
}

void SocketUdpConnection::armRead() {
    deliverBacklog();
    {
        std::lock_guard lock(mutex_);
        if (!open_ || receives_.empty() || !backlog_.empty() || awaitingReadable_) {
            return;
        }
        awaitingReadable_ = true;
    }
    socket_.async_wait(asio::socket_base::wait_read,
                       [self = shared_from_this()](const asio::error_code& error) {
                           {
                               std::lock_guard lock(self->mutex_);
                               self->awaitingReadable_ = false;
                           }
                           if (!error) {
                               self->readable();
                           }
                       });
}

void SocketUdpConnection::readable() {
    std::optional<std::pair<ReceiveCompletion, PlatformError>> failed;
    {
        std::lock_guard lock(mutex_);
        if (!open_ || receives_.empty()) {
            return;
        }
        reading_ = true;
        arrived_.clear();
        const std::size_t count = std::min(receives_.size(), maximumBatch);
        std::array<mmsghdr, maximumBatch> messages;
        std::array<iovec, maximumBatch> vectors;
        constexpr std::size_t controlBytes = CMSG_SPACE(sizeof(timespec)) +
                                             CMSG_SPACE(sizeof(std::uint32_t)) +
                                             CMSG_SPACE(sizeof(int));
        alignas(cmsghdr) std::array<std::array<char, controlBytes>, maximumBatch> controls;
        for (std::size_t i = 0; i < count; ++i) {
            vectors[i] = {slots_.get() + i * slotBytes, slotBytes};
            messages[i] = {};
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
            messages[i].msg_hdr.msg_control = controls[i].data();
            messages[i].msg_hdr.msg_controllen = controlBytes;
        }
        const int received = ::recvmmsg(socket_.native_handle(), messages.data(),
                                        static_cast<unsigned>(count), MSG_DONTWAIT, nullptr);
        if (received < 0) {
            const int error = errno;
            if (error != EAGAIN && error != EWOULDBLOCK && error != EINTR) {
                failed.emplace(std::move(receives_.front()), PlatformError::posix(error));
                receives_.pop_front();
            }
        } else {
            // The socket's drop count, also for drops that no queued datagram reports yet.
            std::array<std::uint32_t, SK_MEMINFO_VARS> memory{};
            socklen_t length = sizeof memory;
            if (::getsockopt(socket_.native_handle(), SOL_SOCKET, SO_MEMINFO, memory.data(),
                             &length) == 0 &&
                length > SK_MEMINFO_DROPS * sizeof(std::uint32_t)) {
                drops_ = std::max<std::uint64_t>(drops_, memory[SK_MEMINFO_DROPS]);
            }
            // Kernel stamps are on the real-time clock; move them onto the monotonic one.
            const std::int64_t realNow = clockNanoseconds(CLOCK_REALTIME);
            const Clock::time_point now = Clock::now();
            for (int i = 0; i < received; ++i) {
                Clock::time_point arrival = now;
                std::size_t segment = 0;  // a coalesced message's datagram size
                // The kernel stamps a datagram with the socket's drop count only once it is
                // not 0.
                std::uint64_t dropsBefore = 0;
                for (cmsghdr* c = CMSG_FIRSTHDR(&messages[i].msg_hdr); c != nullptr;
                     c = CMSG_NXTHDR(&messages[i].msg_hdr, c)) {
                    if (c->cmsg_level == SOL_UDP && c->cmsg_type == UDP_GRO) {
                        int size = 0;
                        std::memcpy(&size, CMSG_DATA(c), sizeof size);
                        segment = size > 0 ? static_cast<std::size_t>(size) : 0;
                        continue;
                    }
                    if (c->cmsg_level != SOL_SOCKET) {
                        continue;
                    }
                    if (c->cmsg_type == SO_TIMESTAMPNS) {
                        timespec stamp{};
                        std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
                        const std::int64_t age =
                            realNow - (static_cast<std::int64_t>(stamp.tv_sec) * 1'000'000'000 +
                                       stamp.tv_nsec);
                        arrival = now - std::chrono::nanoseconds(std::max<std::int64_t>(age, 0));
                    } else if (c->cmsg_type == SO_RXQ_OVFL) {
                        std::uint32_t dropped = 0;
                        std::memcpy(&dropped, CMSG_DATA(c), sizeof dropped);
                        dropsBefore = dropped;
                        drops_ = std::max<std::uint64_t>(drops_, dropped);
                    }
                }
                arrival = std::clamp(arrival, lastArrival_, std::max(lastArrival_, now));
                lastArrival_ = arrival;
                splitDatagrams(i * slotBytes, std::min<std::size_t>(messages[i].msg_len, slotBytes),
                               segment, arrival, dropsBefore, arrived_);
            }
        }
    }
    // Each datagram to the oldest waiting receive, in order; what finds none waits in the
    // backlog, copied, as do all after it. The slots stay untouched until the next read,
    // which only this executor issues.
    for (const auto& datagram : arrived_) {
        ReceiveCompletion completion;
        {
            std::lock_guard lock(mutex_);
            if (!open_) {
                break;
            }
            if (!backlog_.empty() || receives_.empty()) {
                const std::uint8_t* at = slots_.get() + datagram.offset;
                backlog_.push_back(
                    {Bytes(at, at + datagram.length), datagram.arrival, datagram.queueDrops});
                continue;
            }
            completion = std::move(receives_.front());
            receives_.pop_front();
        }
        if (gate_.isOpen() && completion) {
            completion({slots_.get() + datagram.offset, datagram.length}, datagram.arrival,
                       datagram.queueDrops, std::nullopt);
        }
    }
    {
        std::lock_guard lock(mutex_);
        reading_ = false;
    }
    if (failed && gate_.isOpen() && failed->first) {
        failed->first({}, lastArrival_, drops_, failed->second);
    }
    armRead();
}

void SocketUdpConnection::splitDatagrams(std::size_t offset, std::size_t length,
                                         std::size_t segment, Clock::time_point arrival,
                                         std::uint64_t queueDrops, std::vector<Arrived>& into) {
    // A message the kernel coalesced holds datagrams of `segment` bytes, the last perhaps
    // shorter; any other message is one datagram (perhaps empty).
    if (segment == 0 || segment >= length) {
        into.push_back({offset, length, arrival, queueDrops});
        return;
    }
    for (std::size_t at = 0; at < length; at += segment) {
        into.push_back({offset + at, std::min(segment, length - at), arrival, queueDrops});
    }
}

}  // namespace sorvanta
