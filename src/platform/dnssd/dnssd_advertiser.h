#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/dnssd/dnssd_registration_change.h"
#include "platform/dnssd/dnssd_state.h"
#include "platform/dnssd/mdns_interface_driver.h"
#include "platform/dnssd/mdns_responder.h"
#include "platform/net/network_executor.h"

namespace sorvanta {

// Advertises one service instance with multicast DNS on one pinned interface, or on
// every wired interface that is up when none is pinned, on the owner's serial executor
// (see network_executor.h). Its host name is drawn at random per advertisement, so it
// never clashes with the system responder's host record. When the instance name is
// taken it is renamed "Name (2)", … on every interface and the change is reported.
// cancel() says goodbye (TTL 0) on every interface; so does destroying it uncancelled.
class DnssdAdvertiser final : public std::enable_shared_from_this<DnssdAdvertiser>,
                              private MdnsInterfaceDriver<MdnsResponder>::Owner {
  public:
    struct Service {
        std::string instanceName;
        std::string serviceType = "_sorvanta._tcp";
        std::uint16_t port = 0;
        std::vector<std::pair<std::string, std::string>> txt;
    };
    struct Options {
        std::optional<int> interfaceIndex;  // absent: every wired interface
        std::uint32_t hostTtl = 120;        // SRV, A, AAAA
        std::uint32_t otherTtl = 4500;      // PTR, TXT
    };
    using StateHandler = std::function<void(const DnssdState&)>;
    using RegistrationHandler = std::function<void(const DnssdRegistrationChange&)>;

    static std::shared_ptr<DnssdAdvertiser> create(NetworkExecutor executor, Service service,
                                                   Options options);
    ~DnssdAdvertiser();

    // Handlers are set before start().
    void setStateHandler(StateHandler handler) { driver_.setStateHandler(std::move(handler)); }
    void setRegistrationHandler(RegistrationHandler handler) {
        registrationHandler_ = std::move(handler);
    }

    void start();
    void cancel();

    // Received packets dropped as malformed, over all interfaces (read on the executor).
    std::uint64_t malformedPackets() const { return driver_.malformedPackets(); }

  private:
    using Driver = MdnsInterfaceDriver<MdnsResponder>;

    DnssdAdvertiser(NetworkExecutor executor, Service service, Options options);
    bool parametersValid() const override;
    std::unique_ptr<MdnsResponder> makeEngine(const InterfaceInfo& interface) override {
        return makeResponder(interface, name_);
    }
    std::unique_ptr<MdnsResponder> makeResponder(const InterfaceInfo& interface,
                                                 const std::string& name);
    // A packet that arrived on one interface but came from this advertisement on
    // another is not taken: two of our interfaces on one link (or joined by one cable)
    // must not take each other's claims for conflicts, or they would rename each other
    // forever.
    bool accepts(std::size_t unit, const asio::ip::address& source) const override;
    // A link that came back, or new addresses, are announced again.
    void linkChanged(Driver::Unit& unit, const MdnsTransport::LinkChange& change,
                     MdnsTime now) override;
    void pump() override;
    // Says goodbye on the interface.
    void closing(Driver::Unit& unit) override;
    void rename(const std::string& name);

    Service service_;
    Options options_;
    std::string hostLabel_;
    std::string name_;                      // the name currently advertised
    std::optional<std::string> announced_;  // the name last reported as added
    RegistrationHandler registrationHandler_;
    Driver driver_;  // after options_, which it is built from
};

}  // namespace sorvanta
