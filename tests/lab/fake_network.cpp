#include "lab/fake_network.h"

#include <algorithm>
#include <cerrno>

namespace sorvanta::testing {

void FakeTcpConnection::send(std::shared_ptr<const Bytes> data, SendCompletion completion) {
    std::optional<PlatformError> error;
    {
        std::lock_guard lock(mutex_);
        if (data) {
            sends_.push_back(*data);
        }
        error = sendError_;
    }
    if (completion) {
        post([completion = std::move(completion), error] { completion(error); });
    }
}

void FakeTcpConnection::receive(std::size_t minimum, std::size_t maximum,
                                ReceiveCompletion completion) {
    std::unique_lock lock(mutex_);
    if (maximum == 0 || minimum > maximum || receive_) {
        // As the real one: impossible bounds, or a second receive while one is outstanding.
        const auto error = PlatformError::posix(receive_ ? EALREADY : EINVAL);
        lock.unlock();
        post([completion = std::move(completion), error] { completion({}, false, error); });
        return;
    }
    minimum_ = std::max<std::size_t>(minimum, 1);
    maximum_ = maximum;
    receive_ = std::move(completion);
    serveReceive(lock);
}

void FakeTcpConnection::serveReceive(std::unique_lock<std::mutex>& lock) {
    const bool enough = inbound_.size() >= minimum_;
    if (!receive_ || (!enough && !ended_ && !receiveError_)) {
        return;
    }
    const auto take = static_cast<std::ptrdiff_t>(std::min(inbound_.size(), maximum_));
    Bytes data(inbound_.begin(), inbound_.begin() + take);
    inbound_.erase(inbound_.begin(), inbound_.begin() + take);
    std::optional<PlatformError> error;
    if (!enough && receiveError_) {
        error = std::exchange(receiveError_, std::nullopt);
    }
    const bool complete = ended_ && inbound_.empty() && !error;
    auto completion = std::exchange(receive_, nullptr);
    lock.unlock();
    post([completion = std::move(completion), data = std::move(data), complete, error] {
        completion(data, complete, error);
    });
    lock.lock();
}

void FakeTcpConnection::deliver(const Bytes& bytes, bool complete) {
    std::unique_lock lock(mutex_);
    inbound_.insert(inbound_.end(), bytes.begin(), bytes.end());
    ended_ = ended_ || complete;
    serveReceive(lock);
}

void FakeTcpConnection::failReceive(PlatformError error) {
    std::unique_lock lock(mutex_);
    receiveError_ = error;
    serveReceive(lock);
}

void FakeTcpConnection::cancel() {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    state_ = {TransportState::Kind::cancelled, {}};
}

PendingTransferReport FakeTcpConnection::startDataTransferReport() {
    std::lock_guard lock(mutex_);
    return PendingTransferReport(weak_from_this(), executor_, std::chrono::steady_clock::now(),
                                 counters_);
}

std::optional<NetworkInterface> FakeTcpConnection::pathInterface() const {
    std::lock_guard lock(mutex_);
    if (path_ && !path_->availableInterfaces.empty()) {
        return path_->availableInterfaces.front();
    }
    return parameters_.requiredInterface;
}

std::string FakeTcpConnection::sentText() const {
    std::lock_guard lock(mutex_);
    std::string text;
    for (const auto& s : sends_) {
        text.append(s.begin(), s.end());
    }
    return text;
}

void FakeUdpConnection::cancel() {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    state_ = {TransportState::Kind::cancelled, {}};
}

void FakeUdpConnection::send(std::shared_ptr<const Bytes> datagram, SendCompletion completion) {
    std::optional<PlatformError> error;
    {
        std::lock_guard lock(mutex_);
        if (datagram) {
            sends_.push_back(*datagram);
        }
        error = sendError_;
    }
    if (completion) {
        post([completion = std::move(completion), error] { completion(error); });
    }
}

void FakeUdpConnection::batch(const std::function<void()>& sends) {
    put(batches_, get(batches_) + 1);
    if (sends) {
        sends();
    }
}

void FakeUdpConnection::receiveMessage(ReceiveCompletion completion) {
    {
        std::lock_guard lock(mutex_);
        receives_.push_back(std::move(completion));
    }
    arrive(std::nullopt);
}

void FakeUdpConnection::deliver(const Bytes& datagram, Clock::time_point arrival) {
    arrive(Arrival{datagram, arrival, get(drops_), std::nullopt});
}

void FakeUdpConnection::failReceive(PlatformError error) {
    arrive(Arrival{{}, Clock::now(), get(drops_), error});
}

// Queues `arrival`, if any, and pairs queued arrivals with waiting receives, in order.
void FakeUdpConnection::arrive(std::optional<Arrival> arrival) {
    std::unique_lock lock(mutex_);
    if (arrival) {
        arrivals_.push_back(std::move(*arrival));
    }
    while (!receives_.empty() && !arrivals_.empty()) {
        auto completion = std::move(receives_.front());
        receives_.pop_front();
        auto next = std::move(arrivals_.front());
        arrivals_.pop_front();
        lock.unlock();
        post([completion = std::move(completion), next = std::move(next)] {
            if (completion) {
                completion(next.content, next.at, next.queueDrops, next.error);
            }
        });
        lock.lock();
    }
}

std::shared_ptr<TcpConnection> FakeNetworkFactory::makeBrowsedConnection(
    NetworkExecutor executor, const DnssdEndpoint& endpoint, NetworkParameters parameters) {
    auto fake =
        std::make_shared<FakeTcpConnection>(std::move(executor), Endpoint{}, std::move(parameters));
    std::lock_guard lock(mutex_);
    browsed_.push_back({endpoint, fake});
    log_.emplace_back("browsed");
    return fake;
}

}  // namespace sorvanta::testing
