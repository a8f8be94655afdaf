#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>

#include "lab/event_recorder.h"
#include "lab/veth_sides.h"
#include "platform/net/netlink_path_monitor.h"
#include "platform/net/socket_tcp_connection.h"
#include "platform/net/socket_tcp_listener.h"
#include "platform/net/socket_udp_connection.h"
#include "platform/net/socket_udp_listener.h"
#include "platform/net/wired_path.h"

namespace sorvanta {
namespace {

using testing::EventRecorder;

// Runs calls on an executor and notes every handler that runs inside one of them. Owners call
// these entries while holding their own locks, so a handler run inline would deadlock them.
struct InlineProbe {
    std::atomic<bool> inside{false};
    std::atomic<int> inlined{0};
    EventRecorder<std::string> ran;

    void handler(const std::string& what) {
        if (inside) {
            ++inlined;
        }
        ran.push(what);
    }
    void call(const std::function<void()>& entry) {
        inside = true;
        entry();
        inside = false;
    }
};

class NoInlineHandler : public testing::VethSides {
  protected:
    NetworkParameters udpOn(const NetworkInterface& interface) {
        auto parameters = makeWiredParameters(interface);
        parameters.transport = NetworkParameters::Transport::udp;
        return parameters;
    }
};

TEST_F(NoInlineHandler, NoHandlerRunsInsideTheCallThatCausedIt) {
    const Endpoint closedPortOnB{asio::ip::make_address(pair->ipv4B), 9};
    // A flow on A holding the datagram that created it.
    std::shared_ptr<UdpConnection> flow;
    {
        EventRecorder<std::uint16_t> ports;
        EventRecorder<std::shared_ptr<UdpConnection>> flows;
        auto listener = a->call([&] {
            auto l = SocketUdpListener::create(a->executor(), udpOn(ifA), 0);
            l->setStateHandler([&ports](const ListenerState& s) { ports.push(s.port); });
            l->setNewFlowHandler([&flows](std::shared_ptr<UdpConnection> f) { flows.push(f); });
            l->start();
            return l;
        });
        atTearDown(*a, [listener] { listener->cancel(); });
        ASSERT_TRUE(ports.waitForCount(1));
        auto sender = b->call([&] {
            auto c = SocketUdpConnection::create(
                b->executor(), {asio::ip::make_address(pair->ipv4A), ports.values()[0]},
                udpOn(ifB));
            c->start();
            c->send(std::make_shared<const UdpConnection::Bytes>(3, 'x'), nullptr);
            return c;
        });
        atTearDown(*b, [sender] { sender->cancel(); });
        ASSERT_TRUE(flows.waitForCount(1));
        flow = flows.values()[0];
        a->call([&] {
            listener->setStateHandler(nullptr);
            listener->setNewFlowHandler(nullptr);
            return 0;
        });
    }
    // Each case makes an object on A and returns the entry to probe (whose first handler is
    // due at once) and the object's cancel.
    struct Made {
        std::function<void()> entry;
        std::function<void()> cancel;
    };
    struct Case {
        const char* entry;
        std::function<Made(InlineProbe&)> make;
    };
    const std::vector<Case> cases = {
        {"TcpListener::start",
         [&](InlineProbe& p) {
             auto l = SocketTcpListener::create(a->executor(), makeWiredParameters(ifA), 0);
             l->setStateHandler([&p](const ListenerState& s) { p.handler(s.text()); });
             return Made{[l] { l->start(); }, [l] { l->cancel(); }};
         }},
        {"TcpConnection::start",
         [&](InlineProbe& p) {
             auto c = SocketTcpConnection::create(a->executor(), closedPortOnB,
                                                  makeWiredParameters(ifA));
             c->setStateHandler([&p](const TransportState& s) { p.handler(s.text()); });
             return Made{[c] { c->start(); }, [c] { c->cancel(); }};
         }},
        {"UdpConnection::start",
         [&](InlineProbe& p) {
             auto c = SocketUdpConnection::create(a->executor(), closedPortOnB, udpOn(ifA));
             c->setStateHandler([&p](const TransportState& s) { p.handler(s.text()); });
             return Made{[c] { c->start(); }, [c] { c->cancel(); }};
         }},
        {"UdpConnection::receiveMessage",
         [&](InlineProbe& p) {
             flow->start();
             return Made{
                 [&p, f = flow] {
                     f->receiveMessage([&p](auto, auto, auto, auto) { p.handler("datagram"); });
                 },
                 [f = flow] { f->cancel(); }};
         }},
        {"PathMonitor::start",
         [&](InlineProbe& p) {
             auto m = NetlinkPathMonitor::create(a->executor(), InterfaceType::wiredEthernet);
             m->setUpdateHandler([&p](const NetworkPath&) { p.handler("path"); });
             return Made{[m] { m->start(); }, [m] { m->cancel(); }};
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.entry);
        InlineProbe probe;
        const Made made = a->call([&] {
            Made m = c.make(probe);
            // What making the object posted runs first.
            asio::post(a->executor(), [&probe, entry = m.entry] { probe.call(entry); });
            return m;
        });
        EXPECT_TRUE(probe.ran.waitForCount(1, std::chrono::seconds(5)));
        EXPECT_EQ(probe.inlined, 0);
        a->call([&] {
            made.cancel();  // no handler after this: the probe may go
            return 0;
        });
    }
}

}  // namespace
}  // namespace sorvanta
