#pragma once

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "lab/forwarding_network_factory.h"

namespace sorvanta::testing {

// A UDP flow that, once `after` datagrams have come, takes nothing from its socket for
// `stall`, as a receiving process that is held up: the socket's own queue fills and the
// kernel drops what comes next. Everything else goes straight to the flow it wraps.
class StallingUdpConnection final : public UdpConnection,
                                    public std::enable_shared_from_this<StallingUdpConnection> {
  public:
    StallingUdpConnection(NetworkExecutor executor, std::shared_ptr<UdpConnection> inner,
                          std::int64_t after, std::chrono::milliseconds stall)
        : inner_(std::move(inner)), timer_(std::move(executor)), after_(after), stall_(stall) {}

    void setStateHandler(StateHandler handler) override {
        inner_->setStateHandler(std::move(handler));
    }
    void setPathHandler(PathHandler handler) override {
        inner_->setPathHandler(std::move(handler));
    }
    void setViabilityHandler(ViabilityHandler handler) override {
        inner_->setViabilityHandler(std::move(handler));
    }
    void start() override { inner_->start(); }
    void cancel() override {
        {
            std::lock_guard lock(mutex_);
            cancelled_ = true;
            held_.clear();
        }
        asio::post(timer_.get_executor(), [self = shared_from_this()] { self->timer_.cancel(); });
        inner_->cancel();
    }
    void send(std::shared_ptr<const Bytes> datagram, SendCompletion completion) override {
        inner_->send(std::move(datagram), std::move(completion));
    }
    void batch(const std::function<void()>& sends) override { inner_->batch(sends); }
    void receiveMessage(ReceiveCompletion completion) override {
        {
            std::lock_guard lock(mutex_);
            if (cancelled_) {
                return;
            }
            if (stalling_) {
                held_.push_back(std::move(completion));
                return;
            }
        }
        forward(std::move(completion));
    }
    TransportState state() const override { return inner_->state(); }
    std::optional<NetworkPath> currentPath() const override { return inner_->currentPath(); }
    const Endpoint& endpoint() const override { return inner_->endpoint(); }
    std::uint64_t receiveQueueDrops() const override { return inner_->receiveQueueDrops(); }
    int receiveBufferSize() const override { return inner_->receiveBufferSize(); }
    int sendBufferSize() const override { return inner_->sendBufferSize(); }

  private:
    void forward(ReceiveCompletion completion) {
        inner_->receiveMessage([weak = weak_from_this(), completion = std::move(completion)](
                                   std::span<const std::uint8_t> content, Clock::time_point at,
                                   std::uint64_t drops, std::optional<PlatformError> error) {
            if (auto self = weak.lock(); self && !error) {
                self->taken();
            }
            completion(content, at, drops, error);
        });
    }

    // On the flow's executor, as its completions are.
    void taken() {
        {
            std::lock_guard lock(mutex_);
            if (cancelled_ || ++count_ != after_) {
                return;
            }
            stalling_ = true;
        }
        timer_.expires_after(stall_);
        timer_.async_wait([weak = weak_from_this()](const asio::error_code& error) {
            auto self = weak.lock();
            if (!self || error) {
                return;
            }
            std::deque<ReceiveCompletion> held;
            {
                std::lock_guard lock(self->mutex_);
                self->stalling_ = false;
                held.swap(self->held_);
            }
            for (auto& completion : held) {
                self->forward(std::move(completion));
            }
        });
    }

    const std::shared_ptr<UdpConnection> inner_;
    asio::steady_timer timer_;
    const std::int64_t after_;
    const std::chrono::milliseconds stall_;
    std::mutex mutex_;
    bool cancelled_ = false;
    bool stalling_ = false;
    std::int64_t count_ = 0;
    std::deque<ReceiveCompletion> held_;
};

class StallingUdpListener final : public UdpListener {
  public:
    StallingUdpListener(NetworkExecutor executor, std::shared_ptr<UdpListener> inner,
                        std::int64_t after, std::chrono::milliseconds stall)
        : executor_(std::move(executor)), inner_(std::move(inner)), after_(after), stall_(stall) {}

    void setStateHandler(StateHandler handler) override {
        inner_->setStateHandler(std::move(handler));
    }
    void setNewFlowHandler(FlowHandler handler) override {
        inner_->setNewFlowHandler(
            [executor = executor_, after = after_, stall = stall_,
             handler = std::move(handler)](std::shared_ptr<UdpConnection> flow) {
                if (handler) {
                    handler(std::make_shared<StallingUdpConnection>(executor, std::move(flow),
                                                                    after, stall));
                }
            });
    }
    void start() override { inner_->start(); }
    void cancel() override { inner_->cancel(); }
    ListenerState state() const override { return inner_->state(); }
    std::uint16_t port() const override { return inner_->port(); }

  private:
    const NetworkExecutor executor_;
    const std::shared_ptr<UdpListener> inner_;
    const std::int64_t after_;
    const std::chrono::milliseconds stall_;
};

// Forwards to another factory; every UDP flow its listeners report stalls once as
// StallingUdpConnection does.
class ReceiveStallFactory final : public ForwardingNetworkFactory {
  public:
    ReceiveStallFactory(std::shared_ptr<NetworkFactory> inner, std::int64_t after,
                        std::chrono::milliseconds stall)
        : ForwardingNetworkFactory(std::move(inner)), after_(after), stall_(stall) {}

    std::shared_ptr<UdpListener> makeUdpListener(NetworkExecutor executor,
                                                 NetworkParameters parameters,
                                                 std::uint16_t port) override {
        auto listener = inner().makeUdpListener(executor, std::move(parameters), port);
        return std::make_shared<StallingUdpListener>(std::move(executor), std::move(listener),
                                                     after_, stall_);
    }

  private:
    const std::int64_t after_;
    const std::chrono::milliseconds stall_;
};

}  // namespace sorvanta::testing
