#pragma once

#include <asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "platform/dnssd/dnssd_state.h"
#include "platform/dnssd/mdns_record_cache.h"
#include "platform/dnssd/mdns_transport.h"
#include "platform/net/network_executor.h"

namespace sorvanta {

// The interfaces an advertisement or a browser covers: the pinned one if it is up, or
// every wired interface that is up when none is pinned.
std::vector<InterfaceInfo> chooseMdnsInterfaces(std::optional<int> pinnedIndex);

// Runs one multicast DNS engine (MdnsResponder, MdnsBrowser) per covered interface, each
// over its own MdnsTransport, for an owner that holds it as a member, on the owner's serial
// executor. It opens the interfaces (while there is none it reports waiting and looks
// again every 2 s), feeds each engine what its interface receives, runs the owner's pump
// when an engine is due, looks at the links once a second, reports the state, and closes
// every interface on cancel. What the engines mean is the owner's (see Owner). Built for
// MdnsResponder and MdnsBrowser.
template <class Engine>
class MdnsInterfaceDriver {
  public:
    struct Unit {
        std::shared_ptr<MdnsTransport> transport;
        std::unique_ptr<Engine> engine;
    };

    class Owner {
      public:
        // Checked once, at start: false fails the owner with a bad parameter.
        virtual bool parametersValid() const = 0;
        virtual std::unique_ptr<Engine> makeEngine(const InterfaceInfo& interface) = 0;
        // Whether a packet received by one unit is given to its engine.
        virtual bool accepts(std::size_t /*unit*/, const asio::ip::address& /*source*/) const {
            return true;
        }
        // What the once-a-second look found on a unit's interface.
        virtual void linkChanged(Unit& unit, const MdnsTransport::LinkChange& change,
                                 MdnsTime now) = 0;
        // After anything happened: sends what is due (sendDue), takes the engines' news,
        // arms the timer (arm) and runs its handlers last, as one of them may cancel.
        virtual void pump() = 0;
        // The unit is about to be closed.
        virtual void closing(Unit& /*unit*/) {}

      protected:
        ~Owner() = default;
    };

    using StateHandler = std::function<void(const DnssdState&)>;

    static constexpr std::chrono::seconds retryWhileWaiting{2};
    static constexpr std::chrono::seconds linkCheckInterval{1};

    // When the link check after `now` is due: the next whole second of the monotonic clock,
    // strictly after `now`. Every driver of the process checks at the same instants, so the
    // browser's and the responder's checks share one wake-up of their thread instead of
    // taking one each; the period stays one second.
    static std::chrono::steady_clock::time_point nextLinkCheck(
        std::chrono::steady_clock::time_point now) {
        using std::chrono::steady_clock;
        const auto whole = std::chrono::floor<std::chrono::seconds>(now.time_since_epoch());
        return steady_clock::time_point(
            std::chrono::duration_cast<steady_clock::duration>(whole + linkCheckInterval));
    }

    MdnsInterfaceDriver(NetworkExecutor executor, std::optional<int> interfaceIndex, Owner& owner)
        : executor_(executor),
          interfaceIndex_(interfaceIndex),
          owner_(owner),
          timer_(executor),
          linkTimer_(executor) {}

    void setStateHandler(StateHandler handler) { stateHandler_ = std::move(handler); }

    // `self` is the owner: kept alive until the call ran on the executor, and watched by
    // every later callback, which does nothing once the owner is gone.
    void start(std::shared_ptr<void> self);
    void cancel(std::shared_ptr<void> self);

    // For the owner's destructor: closes everything, with no handler run, unless the
    // owner was cancelled before.
    void closeUncancelled();

    // Received packets dropped as malformed, over all interfaces.
    std::uint64_t malformedPackets() const;

    std::vector<Unit>& units() { return units_; }
    const std::vector<Unit>& units() const { return units_; }
    bool handlersOpen() const { return gate_.isOpen(); }

    // Advances every engine that is due and sends the packets it has.
    void sendDue();

    // Runs the owner's pump when the first engine is next due.
    void arm();

  private:
    void openInterfaces();
    void watchLinks();
    void setState(const DnssdState& state);
    void shutDown();

    NetworkExecutor executor_;
    std::optional<int> interfaceIndex_;
    Owner& owner_;
    std::weak_ptr<void> ownerLife_;
    HandlerGate gate_;
    std::vector<Unit> units_;
    asio::steady_timer timer_;
    asio::steady_timer linkTimer_;
    std::uint64_t timerGeneration_ = 0;
    DnssdState state_;
    bool cancelled_ = false;
    std::uint64_t dropped_ = 0;  // malformed packets of interfaces already closed
    StateHandler stateHandler_;
};

}  // namespace sorvanta
