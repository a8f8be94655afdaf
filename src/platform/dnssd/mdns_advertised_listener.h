#pragma once

#include <memory>
#include <optional>

#include "platform/dnssd/advertised_listener.h"
#include "platform/dnssd/dnssd_advertiser.h"
#include "platform/net/listener_state_keeper.h"
#include "platform/net/network_executor.h"
#include "platform/net/network_parameters.h"
#include "platform/net/socket_tcp_listener.h"

namespace sorvanta {

// The AdvertisedListener of this system: a SocketTcpListener and, once it has its port, a
// DnssdAdvertiser for that port on the same interface. The combined state is the worse of
// the two (failed, then waiting, then setup), and ready only when the listener is ready and
// the service's name has been claimed on the link (see advertised_listener_state.h).
class MdnsAdvertisedListener final : public AdvertisedListener,
                                     public std::enable_shared_from_this<MdnsAdvertisedListener> {
  public:
    static std::shared_ptr<MdnsAdvertisedListener> create(NetworkExecutor executor,
                                                          NetworkParameters parameters,
                                                          Service service);
    ~MdnsAdvertisedListener() override;

    void setStateHandler(StateHandler handler) override { state_.setHandler(std::move(handler)); }
    void setNewConnectionHandler(ConnectionHandler handler) override {
        connectionHandler_ = std::move(handler);
    }
    void setRegistrationHandler(RegistrationHandler handler) override {
        registrationHandler_ = std::move(handler);
    }

    void start() override;
    void cancel() override;

    ListenerState state() const override { return state_.current(); }
    std::uint16_t port() const override { return state_.port(); }

  private:
    MdnsAdvertisedListener(NetworkExecutor executor, NetworkParameters parameters, Service service);
    void listenerChanged(const ListenerState& state);
    void advertiserChanged(const DnssdState& state);
    void combine();
    void stopAdvertising();

    NetworkExecutor executor_;
    NetworkParameters parameters_;
    Service service_;
    HandlerGate gate_;
    bool cancelled_ = false;
    ConnectionHandler connectionHandler_;
    RegistrationHandler registrationHandler_;
    ListenerStateKeeper state_;

    std::shared_ptr<SocketTcpListener> listener_;
    ListenerState listenerState_;
    std::shared_ptr<DnssdAdvertiser> advertiser_;
    std::uint16_t advertisedPort_ = 0;
    std::optional<DnssdState> advertiserState_;
    bool registered_ = false;
};

}  // namespace sorvanta
