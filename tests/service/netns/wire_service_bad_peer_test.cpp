#include <gtest/gtest.h>

#include <atomic>

#include "platform/net/wired_path.h"
#include "protocol/control_frame_codec.h"
#include "service_node.h"

namespace sorvanta::testing {
namespace {

// A hand-driven client of the service's listener, for peers that misbehave.
class RawPeer {
  public:
    RawPeer(NetnsThread& thread, const DnssdEndpoint& endpoint) : thread_(thread) {
        thread_.call([&] {
            connection_ = SystemNetworkFactory().makeBrowsedConnection(
                thread_.executor(), endpoint, makeWiredParameters(endpoint.interface));
            connection_->setStateHandler([this](const TransportState& state) {
                if (state.kind == TransportState::Kind::ready) {
                    ready_ = true;
                    receive();
                }
            });
            connection_->start();
            return 0;
        });
    }
    ~RawPeer() {
        thread_.call([this] {
            connection_->cancel();
            return 0;
        });
    }
    bool waitReady() { return wait(ready_, 5); }
    bool waitClosed(double seconds) { return wait(closed_, seconds); }
    bool closed() const { return closed_; }
    void send(std::vector<std::uint8_t> bytes) {
        thread_.call([&] {
            connection_->send(std::move(bytes), [](std::optional<PlatformError>) {});
            return 0;
        });
    }
    void send(const std::vector<ControlMessage>& messages) {
        std::vector<std::uint8_t> bytes;
        for (const auto& message : messages) {
            auto frame = ControlFrameCodec::encode(message);
            bytes.insert(bytes.end(), frame.begin(), frame.end());
        }
        send(std::move(bytes));
    }
    void hangUp() {
        thread_.call([this] {
            connection_->cancel();
            return 0;
        });
    }

  private:
    void receive() {
        connection_->receive(1, 65536,
                             [this](std::span<const std::uint8_t>, bool complete,
                                    std::optional<PlatformError> error) {
                                 if (complete || error) {
                                     closed_ = true;
                                 } else {
                                     receive();
                                 }
                             });
    }
    static bool wait(const std::atomic<bool>& flag, double seconds) {
        const auto end = std::chrono::steady_clock::now() +
                         std::chrono::milliseconds(static_cast<int>(seconds * 1000));
        while (!flag && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return flag;
    }

    NetnsThread& thread_;
    std::shared_ptr<TcpConnection> connection_;
    std::atomic<bool> ready_{false};
    std::atomic<bool> closed_{false};
};

ControlMessage hello(std::string name) {
    ControlMessage message;
    message.kind = ControlMessage::Kind::hello;
    message.session = Uuid::random();
    message.instance = Uuid::random();
    message.name = std::move(name);
    message.lowPower = false;
    return message;
}

TEST(WireServiceBadPeerTest, BadPeersAreCutOffAndTheGoodOneFoundAgain) {
    SORVANTA_NETNS_PAIR_OR_SKIP(pair);
    ServiceNode a(pair->nsA, {{pair->link.nameA, pair->link.indexA}}, "Desk");
    a.start();
    ASSERT_TRUE(a.waitFor([](const ServiceSnapshot& s) {
        return s.status == "Looking for another Mac running Sorvanta\u2026";
    }));
    NetnsThread client(pair->nsB);
    DnssdEndpoint desk;
    desk.instanceName = "Desk";
    desk.interface = {pair->link.nameB, pair->link.indexB, InterfaceType::wiredEthernet};

    {  // At most four control channels: a fifth inbound connection is cancelled.
        std::vector<std::unique_ptr<RawPeer>> silent;
        for (int i = 0; i < 5; ++i) {
            silent.push_back(std::make_unique<RawPeer>(client, desk));
            ASSERT_TRUE(silent.back()->waitReady());
        }
        EXPECT_TRUE(silent[4]->waitClosed(3));
        EXPECT_FALSE(silent[0]->closed());
        for (int i = 0; i < 4; ++i) {
            silent[i]->hangUp();
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    RawPeer mute(client, desk), garbage(client, desk), partial(client, desk), flood(client, desk);
    for (auto* peer : {&mute, &garbage, &partial, &flood}) {
        ASSERT_TRUE(peer->waitReady());
    }
    garbage.send(std::vector<std::uint8_t>{0, 0, 0, 3, 'x', 'y', 'z'});
    auto greeting = hello("Flood");
    flood.send({greeting});
    ASSERT_TRUE(
        a.waitFor([](const ServiceSnapshot& s) { return s.status == "Ready with Flood."; }));
    ControlMessage power;
    power.kind = ControlMessage::Kind::power;
    power.session = greeting.session;
    power.instance = greeting.instance;
    power.lowPower = true;
    flood.send(std::vector<ControlMessage>(40, power));
    EXPECT_TRUE(garbage.waitClosed(3));
    EXPECT_TRUE(flood.waitClosed(3));
    // A greeted peer that leaves a frame unfinished.
    partial.send({hello("Partial")});
    ASSERT_TRUE(
        a.waitFor([](const ServiceSnapshot& s) { return s.status == "Ready with Partial."; }));
    partial.send(std::vector<std::uint8_t>{0, 0, 0, 9, '{'});
    EXPECT_TRUE(partial.waitClosed(12));
    EXPECT_TRUE(mute.waitClosed(12));
    for (const char* reason :
         {"The peer sent an invalid control message (malformed).",
          "The peer sent an invalid control message (unexpectedMessage).",
          "Incomplete control frame timed out.",
          "Peer handshake or probe timed out. Check Ethernet and Local Network access."}) {
        EXPECT_TRUE(a.logged(std::string("Connection closed: ") + reason)) << reason;
    }

    ServiceNode b(pair->nsB, {{pair->link.nameB, pair->link.indexB}}, "Studio");
    b.start();
    EXPECT_TRUE(a.waitFor(readyAndArmed, 30)) << a.snapshot().status;
    EXPECT_TRUE(b.waitFor(readyAndArmed, 30)) << b.snapshot().status;
}

}  // namespace
}  // namespace sorvanta::testing
