#pragma once

#include <gtest/gtest.h>

#include "service/wire_service.h"
#include "service_fakes.h"

namespace sorvanta::fakes {

inline const Uuid lowID = *Uuid::parse("11111111-1111-4111-8111-111111111111");
inline const Uuid highID = *Uuid::parse("99999999-9999-4999-8999-999999999999");

// One service on fakes, pinned to eth0, with helpers to reach a verified control channel.
struct Rig {
    asio::io_context io;
    std::shared_ptr<Network> network = std::make_shared<Network>();
    std::shared_ptr<Scheduler> scheduler = std::make_shared<Scheduler>();
    std::shared_ptr<Hardware> hardware = std::make_shared<Hardware>();
    std::shared_ptr<LowPower> lowPower = std::make_shared<LowPower>();
    std::vector<std::shared_ptr<Engine>> engines;
    std::vector<std::string> logs;
    int publications = 0;
    const NetworkInterface eth0{"eth0", 2, InterfaceType::wiredEthernet};
    Uuid peer;
    Uuid peerSession = Uuid::random();
    std::shared_ptr<WireService> service;

    explicit Rig(Uuid local = highID, Uuid remote = lowID, std::string name = "Desk")
        : peer(remote) {
        WiredInterface entry;
        entry.identity = {"eth0", 2};
        entry.linkActive = true;
        hardware->entries = {entry};
        WireService::Dependencies deps{
            io.get_executor(),
            network,
            scheduler,
            hardware,
            lowPower,
            [this](QuickTest::Setup setup) {
                engines.push_back(std::make_shared<Engine>());
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

    NetworkPath path(bool gateway = false) const {
        NetworkPath p;
        p.status = PathStatus::satisfied;
        p.unsatisfiedReason.reset();
        p.availableInterfaces = {eth0};
        p.localEndpoint = Endpoint{asio::ip::make_address("169.254.0.1"), 50000};
        p.remoteEndpoint = Endpoint{asio::ip::make_address("169.254.0.2"), 50001};
        if (gateway) {
            p.gateways = {asio::ip::make_address("169.254.0.9")};
        }
        return p;
    }

    void startPinned() {
        service->start([this](const ServiceSnapshot&) { ++publications; });
        poll();
        network->monitors.back()->update(path());
        poll();
        network->listeners.back()->state(DnssdState{DnssdState::Kind::ready, {}});
        network->browsers.back()->state(DnssdState{DnssdState::Kind::ready, {}});
        poll();
    }

    DnssdBrowseResult result(const Uuid& instance, std::string name = "Studio") const {
        DnssdBrowseResult r;
        r.endpoint.instanceName = name;
        r.endpoint.interface = eth0;
        r.endpointText = r.endpoint.text();
        r.txt = DnssdTxt{{"v", "9"}, {"id", instance.text()}};
        return r;
    }
    void browse(std::vector<DnssdBrowseResult> results) {
        network->browsers.back()->results(results);
        poll();
    }

    std::shared_ptr<Connection> accept(bool ready = true) {
        auto connection = std::make_shared<Connection>();
        connection->current = path();
        network->listeners.back()->connection(connection);
        poll();
        if (ready) {
            connection->state(TransportState{TransportState::Kind::ready, {}});
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
        if (kind != ControlMessage::Kind::speed && kind != ControlMessage::Kind::probeAck) {
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
        ControlConnection::Bytes bytes;
        for (const auto& message : messages) {
            auto frame = ControlFrameCodec::encode(message);
            bytes.insert(bytes.end(), frame.begin(), frame.end());
        }
        connection.deliver(bytes);
        poll();
    }

    // Accepted, verified and greeted, with the peer visible: ready and armed.
    std::shared_ptr<Connection> readyPeer() {
        startPinned();
        auto connection = accept();
        deliver(*connection, {fromPeer(ControlMessage::Kind::hello)});
        browse({result(peer)});
        connection->completeSends();
        poll();
        return connection;
    }
};

}  // namespace sorvanta::fakes
