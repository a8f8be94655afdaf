#include "lab/fake_network.h"

#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <string>

namespace sorvanta {
namespace {

// The fakes behave as the real objects do toward their owner: handlers only by posting, a
// receive served from scripted bytes with its bounds, nothing after cancel().
TEST(FakeNetwork, DeliversByPostingServesReceivesAndStopsAtCancel) {
    asio::io_context io;
    testing::FakeNetworkFactory factory;
    auto connection = factory.makeTcpConnection(io.get_executor(), {}, NetworkParameters::tcp());
    auto fake = factory.tcpConnections().at(0);
    std::string log;
    connection->setStateHandler([&](const TransportState& s) { log += s.text() + ";"; });
    connection->start();
    fake->setState({TransportState::Kind::ready, {}});
    connection->receive(3, 4, [&](std::span<const std::uint8_t> data, bool, auto error) {
        log += std::string(data.begin(), data.end()) + (error ? "!" : "") + ";";
    });
    fake->deliver({'a', 'b'});
    fake->deliver({'c', 'd', 'e'});
    connection->send(TcpConnection::Bytes{'z'}, [&](auto) { log += "sent;"; });
    EXPECT_EQ(log, "");  // nothing inline
    io.run_for(std::chrono::milliseconds(100));
    EXPECT_EQ(log, "ready;abcd;sent;");
    EXPECT_EQ(fake->sentText(), "z");

    io.restart();
    fake->setState(TransportState::failed(PlatformError::posix(ECONNRESET)));
    connection->cancel();
    io.run_for(std::chrono::milliseconds(50));
    EXPECT_EQ(log, "ready;abcd;sent;");
    EXPECT_EQ(factory.log(), std::vector<std::string>{"tcp"});
}

// Every other fake delivers what the test scripts, by posting, in order.
TEST(FakeNetwork, EveryFakeDeliversWhatTheTestScripts) {
    asio::io_context io;
    const auto executor = io.get_executor();
    testing::FakeNetworkFactory factory;
    std::string log;
    auto udp = factory.makeUdpConnection(executor, {}, NetworkParameters::udp());
    udp->receiveMessage([&](auto content, auto, auto, auto) {
        log += "udp:" + std::string(content.begin(), content.end()) + ";";
    });
    auto tcpListener = factory.makeTcpListener(executor, NetworkParameters::tcp(), 0);
    tcpListener->setStateHandler([&](const ListenerState& s) { log += s.text() + ";"; });
    tcpListener->setNewConnectionHandler([&](auto) { log += "accepted;"; });
    auto advertised = factory.makeAdvertisedListener(executor, NetworkParameters::tcp(), {});
    advertised->setRegistrationHandler([&](const auto& c) { log += c.text() + ";"; });
    auto monitor = factory.makePathMonitor(executor, InterfaceType::wiredEthernet);
    monitor->setUpdateHandler([&](const NetworkPath& p) { log += p.statusText() + ";"; });
    auto browser = factory.makeBrowser(executor, {});
    browser->setResultsHandler([&](const auto& r) { log += std::to_string(r.size()) + ";"; });
    auto timer = factory.makePreciseTimer(std::chrono::milliseconds(1), [&] { log += "tick;"; });

    factory.udpConnections()[0]->deliver({'u'});
    factory.tcpListeners()[0]->setState({ListenerState::Kind::ready, {}, 7});
    factory.tcpListeners()[0]->accept(nullptr);
    factory.advertisedListeners()[0]->registration({DnssdRegistrationChange::Kind::added, "A"});
    factory.pathMonitors()[0]->setPath({});
    factory.browsers()[0]->setResults({{}, {}});
    EXPECT_EQ(factory.timers()[0]->fire(), 0);  // not started
    timer->start();
    EXPECT_EQ(factory.timers()[0]->fire(2), 2);
    EXPECT_EQ(log, "tick;tick;");
    io.run_for(std::chrono::milliseconds(100));
    EXPECT_EQ(log, "tick;tick;udp:u;ready(port 7);accepted;added(A);" + NetworkPath{}.statusText() +
                       ";2;");
    EXPECT_EQ(tcpListener->port(), 7);
    EXPECT_EQ(factory.log(), (std::vector<std::string>{"udp", "tcpListener", "advertisedListener",
                                                       "pathMonitor", "browser", "preciseTimer"}));
}

}  // namespace
}  // namespace sorvanta
