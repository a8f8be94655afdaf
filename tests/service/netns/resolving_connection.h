#pragma once

#include <asio/steady_timer.hpp>
#include <deque>
#include <memory>

#include "platform/dnssd/dnssd_connection.h"
#include "platform/net/tcp_connection.h"

namespace sorvanta::testing {

// A connection to a browsed service whose preparing phase resolves the service first, for the
// namespace tests until the system factory makes these itself. Resolution failures are
// waiting(error) and are retried every second, like a refused connect.
class ResolvingTcpConnection final : public TcpConnection,
                                     public std::enable_shared_from_this<ResolvingTcpConnection> {
  public:
    ResolvingTcpConnection(NetworkExecutor executor, DnssdEndpoint endpoint,
                           NetworkParameters parameters)
        : executor_(executor),
          timer_(executor),
          endpoint_(std::move(endpoint)),
          parameters_(std::move(parameters)) {}

    void setStateHandler(StateHandler h) override { state_ = std::move(h); }
    void setPathHandler(PathHandler h) override { path_ = std::move(h); }
    void setViabilityHandler(ViabilityHandler h) override { viability_ = std::move(h); }
    void start() override { resolve(); }
    void start(NetworkExecutor executor) override {
        executor_ = executor;
        resolve();
    }
    void send(std::shared_ptr<const Bytes> data, SendCompletion completion) override {
        if (inner_) {
            inner_->send(std::move(data), std::move(completion));
        } else {
            sends_.emplace_back(std::move(data), std::move(completion));
        }
    }
    void receive(std::size_t minimum, std::size_t maximum, ReceiveCompletion c) override {
        if (inner_) {
            inner_->receive(minimum, maximum, std::move(c));
        }
    }
    void cancel() override {
        cancelled_ = true;
        timer_.cancel();
        if (resolver_) {
            resolver_->cancel();
        }
        if (inner_) {
            inner_->cancel();
        }
    }
    TransportState state() const override { return inner_ ? inner_->state() : TransportState{}; }
    std::optional<NetworkPath> currentPath() const override {
        return inner_ ? inner_->currentPath() : std::nullopt;
    }
    const Endpoint& endpoint() const override { return inner_ ? inner_->endpoint() : none_; }
    PendingTransferReport startDataTransferReport() override {
        return inner_->startDataTransferReport();
    }
    std::optional<NetworkInterface> pathInterface() const override {
        return inner_ ? inner_->pathInterface() : std::nullopt;
    }
    std::optional<TransferCounters> readTransferCounters() const override {
        return inner_ ? inner_->readTransferCounters() : std::nullopt;
    }

  private:
    void resolve() {
        std::weak_ptr<ResolvingTcpConnection> weak = shared_from_this();
        resolver_ = makeBrowsedConnection(
            executor_, endpoint_, parameters_,
            [weak](std::shared_ptr<TcpConnection> connection, std::optional<PlatformError> error) {
                auto self = weak.lock();
                if (!self || self->cancelled_) {
                    if (connection) {
                        connection->cancel();
                    }
                    return;
                }
                if (!connection) {
                    if (self->state_) {
                        self->state_(TransportState::waiting(*error));
                    }
                    self->timer_.expires_after(std::chrono::seconds(1));
                    self->timer_.async_wait([weak](const asio::error_code& e) {
                        auto again = weak.lock();
                        if (!e && again && !again->cancelled_) {
                            again->resolve();
                        }
                    });
                    return;
                }
                self->adopt(std::move(connection));
            });
    }
    void adopt(std::shared_ptr<TcpConnection> connection) {
        inner_ = std::move(connection);
        inner_->setStateHandler(state_);
        inner_->setPathHandler(path_);
        inner_->setViabilityHandler(viability_);
        inner_->start(executor_);
        for (auto& [data, completion] : sends_) {
            inner_->send(std::move(data), std::move(completion));
        }
        sends_.clear();
    }

    NetworkExecutor executor_;
    asio::steady_timer timer_;
    DnssdEndpoint endpoint_;
    NetworkParameters parameters_;
    StateHandler state_;
    PathHandler path_;
    ViabilityHandler viability_;
    std::shared_ptr<DnssdResolver> resolver_;
    std::shared_ptr<TcpConnection> inner_;
    std::deque<std::pair<std::shared_ptr<const Bytes>, SendCompletion>> sends_;
    bool cancelled_ = false;
    Endpoint none_;
};

}  // namespace sorvanta::testing
