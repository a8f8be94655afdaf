#pragma once

#include <asio/steady_timer.hpp>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/dnssd/dnssd_endpoint.h"
#include "platform/dnssd/dnssd_resolver.h"
#include "platform/net/network_executor.h"
#include "platform/net/network_parameters.h"
#include "platform/net/tcp_connection.h"

namespace sorvanta {

// The TcpConnection to a browsed service: one object from the moment it is made, whose
// preparing phase resolves the endpoint on the interface it was seen on — from the records
// the browser already holds, asking the link only for what is missing — and then dials
// its addresses in turn (IPv6 link-local with the interface as scope when the host has one,
// then IPv4) with the given parameters. An address that fails before ready, or that is not
// ready within nextAddressAfter while another remains, is given up for the next one, without
// a state report: a host whose IPv6 is off or whose link-local address is gone still
// connects over IPv4.
//
// A resolution that fails (the instance is gone, no address, time up) or a dial in which
// every address failed is waiting(error), with the last address's error; a second later it
// resolves again and dials afresh, so a peer that moved to another address or port is found
// there. Sends and the receive made before ready are kept and handed to the socket once it
// is ready. From ready on it is the dialled connection itself (see tcp_connection.h).
// Handlers are posted, never run inside a call; none runs after cancel().
class MdnsBrowsedConnection final : public TcpConnection,
                                    public std::enable_shared_from_this<MdnsBrowsedConnection> {
  public:
    static constexpr std::chrono::seconds retryInterval{1};
    // A direct cable answers a SYN within a millisecond; an address still silent after a
    // second (when the kernel would first send the SYN again) is taken as dropped, so that
    // the next is reached well inside the three seconds a dial is given to become ready.
    static constexpr std::chrono::seconds nextAddressAfter{1};

    static std::shared_ptr<MdnsBrowsedConnection> create(
        NetworkExecutor executor, DnssdEndpoint endpoint, NetworkParameters parameters,
        std::chrono::milliseconds resolveTimeout = std::chrono::seconds(5));
    ~MdnsBrowsedConnection() override;

    void setStateHandler(StateHandler handler) override { stateHandler_ = std::move(handler); }
    void setPathHandler(PathHandler handler) override { pathHandler_ = std::move(handler); }
    void setViabilityHandler(ViabilityHandler handler) override {
        viabilityHandler_ = std::move(handler);
    }

    void start() override;
    // A dialled connection runs on the executor it was made with.
    void start(NetworkExecutor) override { start(); }

    void send(std::shared_ptr<const Bytes> data, SendCompletion completion) override;
    void receive(std::size_t minimum, std::size_t maximum, ReceiveCompletion completion) override;
    void cancel() override;

    TransportState state() const override;
    std::optional<NetworkPath> currentPath() const override;
    // The address dialled last; empty until the first resolution.
    const Endpoint& endpoint() const override { return remote_; }
    PendingTransferReport startDataTransferReport() override;
    std::optional<NetworkInterface> pathInterface() const override;
    std::optional<TransferCounters> readTransferCounters() const override;

  private:
    struct PendingSend {
        std::shared_ptr<const Bytes> data;
        SendCompletion completion;
    };
    struct PendingReceive {
        std::size_t minimum = 0;
        std::size_t maximum = 0;
        ReceiveCompletion completion;
    };

    MdnsBrowsedConnection(NetworkExecutor executor, DnssdEndpoint endpoint,
                          NetworkParameters parameters, std::chrono::milliseconds resolveTimeout);
    void attempt();
    void resolved(const std::vector<asio::ip::tcp::endpoint>& addresses,
                  std::optional<PlatformError> error);
    void dialNext();
    bool isCurrent(std::uint64_t attempt, std::uint64_t dial) const {
        return attempt == attempt_ && dial == dial_;
    }
    void dialledStateChanged(std::uint64_t attempt, std::uint64_t dial,
                             const TransportState& state);
    void dialFailed(PlatformError error);
    void becomeReady();
    void enterWaiting(PlatformError error);
    void setState(const TransportState& state);
    std::shared_ptr<TcpConnection> dialled() const;

    NetworkExecutor executor_;
    DnssdEndpoint endpoint_;
    NetworkParameters parameters_;
    std::chrono::milliseconds resolveTimeout_;
    asio::steady_timer retryTimer_;
    asio::steady_timer nextAddressTimer_;
    HandlerGate gate_;
    StateHandler stateHandler_;
    PathHandler pathHandler_;
    ViabilityHandler viabilityHandler_;

    bool started_ = false;
    bool cancelled_ = false;
    std::uint64_t attempt_ = 0;  // stale resolutions and sockets of older attempts are ignored
    std::shared_ptr<DnssdResolver> resolver_;
    std::vector<asio::ip::tcp::endpoint> addresses_;  // the attempt's resolution, in dial order
    std::size_t next_ = 0;                            // the address to dial after the current
    std::uint64_t dial_ = 0;  // one per socket: events of a socket given up are ignored
    Endpoint remote_;

    mutable std::mutex mutex_;  // guards what the snapshot readers see
    TransportState state_;
    std::shared_ptr<TcpConnection> connection_;  // the current attempt's socket

    std::deque<PendingSend> sends_;  // until ready
    std::optional<PendingReceive> receive_;
};

}  // namespace sorvanta
