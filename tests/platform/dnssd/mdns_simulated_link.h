#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <vector>

#include "platform/dnssd/mdns_message.h"
#include "platform/dnssd/mdns_record_cache.h"

namespace sorvanta::testing {

// A multicast link in virtual time for the mDNS state machines: every packet a node
// sends reaches every node still attached, the sender included (as multicast loopback
// does), at the moment it was sent.
class MdnsSimulatedLink {
  public:
    struct Node {
        std::function<void(const MdnsMessage&, MdnsTime)> receive;
        std::function<void(MdnsTime)> advance;
        std::function<std::optional<MdnsTime>()> nextWake;
        std::function<std::vector<std::vector<std::uint8_t>>()> takePackets;
        bool attached = true;
    };

    MdnsTime now = MdnsTime{} + std::chrono::hours(1);
    // Every packet sent, parsed, with the index of its sender.
    std::vector<std::pair<std::size_t, MdnsMessage>> sent;

    template <class Engine>
    std::size_t attach(Engine& engine) {
        nodes_.push_back(Node{[&engine](const MdnsMessage& m, MdnsTime t) { engine.receive(m, t); },
                              [&engine](MdnsTime t) { engine.advance(t); },
                              [&engine] { return engine.nextWake(); },
                              [&engine] { return engine.takePackets(); }, true});
        return nodes_.size() - 1;
    }

    void detach(std::size_t node) { nodes_[node].attached = false; }
    void reattach(std::size_t node) { nodes_[node].attached = true; }

    // Delivers a packet as if `sender` had sent it.
    void inject(std::size_t sender, const std::vector<std::uint8_t>& packet) {
        auto message = parseMdnsMessage(packet);
        if (!message) {
            return;
        }
        sent.emplace_back(sender, *message);
        for (auto& node : nodes_) {
            if (node.attached) {
                node.receive(*message, now);
            }
        }
    }

    void runFor(std::chrono::milliseconds duration) { runUntil(now + duration); }

    void runUntil(MdnsTime end) {
        for (int step = 0; step < 100000; ++step) {
            flush();
            std::optional<MdnsTime> earliest;
            for (auto& node : nodes_) {
                if (!node.attached) {
                    continue;
                }
                if (auto wake = node.nextWake(); wake && (!earliest || *wake < *earliest)) {
                    earliest = wake;
                }
            }
            if (!earliest || *earliest > end) {
                now = end;
                return;
            }
            now = std::max(now, *earliest);
            for (auto& node : nodes_) {
                if (node.attached) {
                    if (auto wake = node.nextWake(); wake && *wake <= now) {
                        node.advance(now);
                    }
                }
            }
        }
        ADD_FAILURE() << "the simulated link never settled";
    }

  private:
    void flush() {
        bool any = true;
        while (any) {
            any = false;
            for (std::size_t i = 0; i < nodes_.size(); ++i) {
                if (!nodes_[i].attached) {
                    continue;
                }
                for (const auto& packet : nodes_[i].takePackets()) {
                    inject(i, packet);
                    any = true;
                }
            }
        }
    }

    std::vector<Node> nodes_;
};

}  // namespace sorvanta::testing
