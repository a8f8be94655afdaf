#pragma once

#include <asio/io_context.hpp>

#include "fake_quick_test.h"
#include "lab/fake_network.h"
#include "lab/fake_scheduler.h"
#include "lab/fake_system.h"
#include "protocol/control_frame_codec.h"
#include "service/wire_service.h"

namespace sorvanta::testing {

inline const Uuid lowID = *Uuid::parse("11111111-1111-4111-8111-111111111111");
inline const Uuid highID = *Uuid::parse("99999999-9999-4999-8999-999999999999");

// One service on fakes with eth0 (index 2) as its only adapter, and helpers to reach a
// verified control channel.
struct Rig {
    using Connection = FakeTcpConnection;
    asio::io_context io;
    std::shared_ptr<FakeNetworkFactory> network = std::make_shared<FakeNetworkFactory>();
    std::shared_ptr<FakeScheduler> scheduler = std::make_shared<FakeScheduler>();
    std::shared_ptr<FakeWiredHardwareReader> hardware = std::make_shared<FakeWiredHardwareReader>();
    std::shared_ptr<FakeLowPowerSource> lowPower = std::make_shared<FakeLowPowerSource>();
    std::vector<std::shared_ptr<FakeQuickTest>> engines;
    std::vector<std::string> logs;
    const NetworkInterface eth0{"eth0", 2, InterfaceType::wiredEthernet};
    Uuid peer;
    Uuid peerSession = Uuid::random();
    std::shared_ptr<WireService> service;

    explicit Rig(Uuid local = highID, Uuid remote = lowID, std::string name = "Desk")
        : peer(remote) {
        hardware->admitPci("eth0", 2);
        WireService::Dependencies deps{
            io.get_executor(),
            network,
            scheduler,
            hardware,
            lowPower,
            [this](QuickTest::Setup setup) {
                engines.push_back(std::make_shared<FakeQuickTest>());
                engines.back()->setup = std::move(setup);
                return engines.back();
            },
            [this](ServiceLogLevel, const std::string& text) { logs.push_back(text); },
            std::move(name),
            std::nullopt,
            local};
        service = WireService::create(std::move(deps));
    }

    void poll() {
        io.restart();
        io.poll();
    }
    const ServiceSnapshot& snap() const { return service->snapshot(); }
    void advance(double seconds) {
        scheduler->advance(seconds);
        poll();
    }

    NetworkPath path() const {
        NetworkPath p;
        p.status = PathStatus::satisfied;
        p.unsatisfiedReason.reset();
        p.availableInterfaces = {eth0};
        p.localEndpoint = Endpoint{asio::ip::make_address("169.254.0.1"), 50000};
        p.remoteEndpoint = Endpoint{asio::ip::make_address("169.254.0.2"), 50001};
        return p;
    }
    std::shared_ptr<FakePathMonitor> monitor() const { return network->pathMonitors().back(); }
    std::shared_ptr<FakeAdvertisedListener> listener() const {
        return network->advertisedListeners().back();
    }
    std::shared_ptr<FakeDnssdBrowser> browser() const { return network->browsers().back(); }

    void startPinned() {
        service->start([](const ServiceSnapshot&) {});
        poll();
        monitor()->setPath(path());
        poll();
        listener()->setState({ListenerState::Kind::ready, {}, 5000});
        browser()->setState({DnssdState::Kind::ready, {}});
        poll();
    }

    DnssdBrowseResult result(const Uuid& instance, std::string name = "Studio") const {
        DnssdBrowseResult r;
        r.endpoint.instanceName = std::move(name);
        r.endpoint.interface = eth0;
        r.endpointText = r.endpoint.text();
        r.txt = DnssdTxt{{"v", "9"}, {"id", instance.text()}};
        return r;
    }
    void browse(const std::vector<DnssdBrowseResult>& results) {
        browser()->setResults(results);
        poll();
    }

    std::shared_ptr<Connection> inbound() {
        auto connection = std::make_shared<Connection>(io.get_executor(), *path().remoteEndpoint,
                                                       NetworkParameters::tcp());
        connection->setPath(path());
        return connection;
    }
    std::shared_ptr<Connection> accept(bool ready = true) {
        auto connection = inbound();
        listener()->accept(connection);
        poll();
        if (ready) {
            connection->setState({TransportState::Kind::ready, {}});
            poll();
        }
        return connection;
    }

    ControlMessage fromPeer(ControlMessage::Kind kind) const {
        ControlMessage message;
        message.kind = kind;
        message.session = peerSession;
        message.instance = peer;
        if (kind == ControlMessage::Kind::hello || kind == ControlMessage::Kind::helloAck) {
            message.name = "Studio";
        }
        if (kind == ControlMessage::Kind::hello || kind == ControlMessage::Kind::helloAck ||
            kind == ControlMessage::Kind::power) {
            message.lowPower = false;
        }
        return message;
    }
    ControlMessage speed(SpeedMessage message) const {
        ControlMessage control = fromPeer(ControlMessage::Kind::speed);
        control.speed = std::move(message);
        return control;
    }
    void deliver(Connection& connection, const std::vector<ControlMessage>& messages) {
        TcpConnection::Bytes bytes;
        for (const auto& message : messages) {
            auto frame = ControlFrameCodec::encode(message);
            bytes.insert(bytes.end(), frame.begin(), frame.end());
        }
        connection.deliver(bytes);
        poll();
    }
    static std::vector<ControlMessage> sent(const Connection& connection) {
        std::vector<ControlMessage> all;
        ControlFrameCodec codec;
        for (const auto& frame : connection.sends()) {
            for (auto& message : codec.append(frame)) {
                all.push_back(std::move(message));
            }
        }
        return all;
    }

    // Accepted, verified and greeted, with the peer visible: ready and armed.
    std::shared_ptr<Connection> readyPeer() {
        startPinned();
        auto connection = accept();
        deliver(*connection, {fromPeer(ControlMessage::Kind::hello)});
        browse({result(peer)});
        return connection;
    }
};

}  // namespace sorvanta::testing
