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

}  // namespace
}  // namespace sorvanta
