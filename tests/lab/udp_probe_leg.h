#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <variant>

#include "engines/udp_transfer.h"
#include "lab/event_recorder.h"
#include "lab/netns_lab.h"
#include "platform/system_network_factory.h"

namespace sorvanta::testing {

// One UDP probe leg between two namespaces on real sockets: the sending engine runs on side
// A, the receiving engine on side B, and their events are relayed between them as the two
// sequencers would relay them as control messages (each relay posted to the other side's
// thread, never run inside the engine's notify).
class UdpProbeLeg {
  public:
    using Event = UDPTransfer::Event;

    struct Side {
        NetnsThread* thread = nullptr;
        NetworkInterface interface;
        asio::ip::address address;
    };

    // `factory`: the system's own when absent.
    UdpProbeLeg(Side a, Side b, double capacity, double seconds = 3.0,
                std::shared_ptr<NetworkFactory> factory = nullptr)
        : a_(a),
          b_(b),
          binding_{Uuid::random(),
                   Uuid::random(),
                   Uuid::random(),
                   Uuid::random(),
                   0,
                   std::vector<std::uint8_t>(32, 0x6B)} {
        if (!factory) {
            factory = std::make_shared<SystemNetworkFactory>();
        }
        receiver = UDPTransfer::make({binding_, capacity, seconds, true, b.interface, a.address,
                                      b.thread->executor(), factory,
                                      [this](Event e) {
                                          receiverEvents.push(e);
                                          a_.thread->post([this, e] { toSender(e); });
                                      },
                                      nullptr});
        sender = UDPTransfer::make({binding_, capacity, seconds, false, a.interface, b.address,
                                    a.thread->executor(), factory,
                                    [this](Event e) {
                                        senderEvents.push(e);
                                        b_.thread->post([this, e] { toReceiver(e); });
                                    },
                                    nullptr});
    }

    ~UdpProbeLeg() {
        b_.thread->call([this] { return receiver->cancel(), 0; });
        a_.thread->call([this] { return sender->cancel(), 0; });
        // Relays posted before the engines ended run before these calls return.
        b_.thread->call([] { return 0; });
        a_.thread->call([] { return 0; });
    }

    // The receiving side begins; the rest follows from the relayed events.
    void start() {
        b_.thread->call([this] { return receiver->start(std::nullopt), 0; });
    }

    const UDPBinding& binding() const { return binding_; }

    // Waits for an event of type T from the receiver (or sender); its last such one.
    template <class T>
    std::optional<T> awaitFrom(EventRecorder<Event>& events, std::chrono::milliseconds timeout) {
        std::optional<T> found;
        events.waitFor(
            [&](const std::vector<Event>& seen) {
                for (auto it = seen.rbegin(); it != seen.rend(); ++it) {
                    if (const auto* value = std::get_if<T>(&*it)) {
                        found = *value;
                        return true;
                    }
                }
                return false;
            },
            timeout);
        return found;
    }

    std::shared_ptr<UDPTransfer> sender, receiver;
    EventRecorder<Event> senderEvents, receiverEvents;
    // A silent peer: the receiver's counts stop reaching the sender.
    std::atomic<bool> relayProgress{true};

  private:
    void toSender(const Event& e) {
        if (const auto* listening = std::get_if<UDPTransfer::Listening>(&e)) {
            sender->start(listening->port);
        } else if (std::holds_alternative<UDPTransfer::Ready>(e)) {
            sender->checkPath();
        } else if (const auto* progress = std::get_if<UDPTransfer::Progress>(&e);
                   progress && relayProgress) {
            sender->noteRemoteProgress(progress->count);
        }
    }

    void toReceiver(const Event& e) {
        if (const auto* sent = std::get_if<UDPTransfer::Sent>(&e)) {
            receiver->acceptSenderSummary(sent->summary, sent->path);
        }
    }

    Side a_, b_;
    UDPBinding binding_;
};

}  // namespace sorvanta::testing
