#pragma once

#include <asio/io_context.hpp>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "protocol/control_frame_codec.h"
#include "service/quick_test.h"
#include "service/service_ports.h"
#include "service/wire_service.h"

namespace sorvanta::fakes {

// Fakes of the service's ports. Handlers are called from the test's thread, which also polls
// the service's io_context: a handler only enqueues, so nothing is handled inline.
struct Connection final : ControlConnection {
    StateHandler state;
    PathHandler path;
    ViabilityHandler viability;
    ReceiveCompletion receiveCompletion;
    std::vector<Bytes> sent;
    std::vector<SendCompletion> completions;
    std::optional<NetworkPath> current;
    bool started = false;
    bool cancelled = false;

    void setStateHandler(StateHandler h) override { state = std::move(h); }
    void setPathHandler(PathHandler h) override { path = std::move(h); }
    void setViabilityHandler(ViabilityHandler h) override { viability = std::move(h); }
    void start() override { started = true; }
    void send(Bytes data, SendCompletion completion) override {
        sent.push_back(std::move(data));
        completions.push_back(std::move(completion));
    }
    void receive(std::size_t, std::size_t, ReceiveCompletion completion) override {
        receiveCompletion = std::move(completion);
    }
    void cancel() override { cancelled = true; }
    std::optional<NetworkPath> currentPath() const override { return current; }

    // Completes every send so far.
    void completeSends() {
        auto pending = std::move(completions);
        completions.clear();
        for (auto& completion : pending) {
            completion(std::nullopt);
        }
    }
    // Hands bytes to the outstanding receive.
    bool deliver(const Bytes& bytes, bool complete = false,
                 std::optional<PlatformError> error = std::nullopt) {
        if (!receiveCompletion) {
            return false;
        }
        auto completion = std::move(receiveCompletion);
        receiveCompletion = nullptr;
        completion(bytes, complete, error);
        return true;
    }
    // The control messages sent so far.
    std::vector<ControlMessage> messages() const {
        std::vector<ControlMessage> all;
        ControlFrameCodec codec;
        for (const auto& frame : sent) {
            for (auto& message : codec.append(frame)) {
                all.push_back(std::move(message));
            }
        }
        return all;
    }
};

struct Listener final : DiscoveryListener {
    StateHandler state;
    RegistrationHandler registration;
    ConnectionHandler connection;
    bool cancelled = false;
    void setStateHandler(StateHandler h) override { state = std::move(h); }
    void setRegistrationHandler(RegistrationHandler h) override { registration = std::move(h); }
    void setNewConnectionHandler(ConnectionHandler h) override { connection = std::move(h); }
    void start() override {}
    void cancel() override { cancelled = true; }
};

struct Browser final : DiscoveryBrowser {
    StateHandler state;
    ResultsHandler results;
    bool cancelled = false;
    void setStateHandler(StateHandler h) override { state = std::move(h); }
    void setResultsHandler(ResultsHandler h) override { results = std::move(h); }
    void start() override {}
    void cancel() override { cancelled = true; }
};

struct Monitor final : WiredPathMonitor {
    UpdateHandler update;
    bool cancelled = false;
    void setUpdateHandler(UpdateHandler h) override { update = std::move(h); }
    void start() override {}
    void cancel() override { cancelled = true; }
};

struct Network final : ServiceNetwork {
    std::vector<std::shared_ptr<Connection>> dialled;
    std::vector<std::shared_ptr<Listener>> listeners;
    std::vector<std::shared_ptr<Browser>> browsers;
    std::vector<std::shared_ptr<Monitor>> monitors;
    std::vector<ServiceAdvertisement> advertisements;

    std::shared_ptr<ControlConnection> makeBrowsedConnection(NetworkExecutor,
                                                             const DnssdBrowseResult&,
                                                             NetworkParameters) override {
        dialled.push_back(std::make_shared<Connection>());
        return dialled.back();
    }
    std::shared_ptr<DiscoveryListener> makeAdvertisedListener(
        NetworkExecutor, NetworkParameters, ServiceAdvertisement advertisement) override {
        advertisements.push_back(std::move(advertisement));
        listeners.push_back(std::make_shared<Listener>());
        return listeners.back();
    }
    std::shared_ptr<DiscoveryBrowser> makeBrowser(NetworkExecutor, NetworkParameters,
                                                  std::string) override {
        browsers.push_back(std::make_shared<Browser>());
        return browsers.back();
    }
    std::shared_ptr<WiredPathMonitor> makePathMonitor(NetworkExecutor) override {
        monitors.push_back(std::make_shared<Monitor>());
        return monitors.back();
    }
};

// Timers driven by a manual clock: advance() runs what became due, in order.
struct Scheduler final : ServiceScheduler {
    ManualClock manual;
    std::map<std::pair<double, Token>, std::function<void()>> due;
    Token next = 1;

    Token schedule(double seconds, std::function<void()> action) override {
        const Token token = next++;
        due.emplace(std::make_pair(manual.now() + seconds, token), std::move(action));
        return token;
    }
    void cancel(Token token) override {
        std::erase_if(due, [&](const auto& entry) { return entry.first.second == token; });
    }
    const Clock& clock() const override { return manual; }
    void advance(double seconds) {
        const double until = manual.now() + seconds;
        while (!due.empty() && due.begin()->first.first <= until) {
            auto entry = due.extract(due.begin());
            manual.set(entry.key().first);
            entry.mapped()();
        }
        manual.set(until);
    }
};

struct Hardware final : WiredHardware {
    std::vector<WiredInterface> entries;
    bool qualified = false;
    std::vector<WiredInterface> inventory() override { return entries; }
    bool qualifiedAdapterOnBus() override { return qualified; }
    std::optional<AdapterProfile> adapterProfile(const std::string&) override {
        return std::nullopt;
    }
    std::string interfaceDescriptions() override { return "eth0"; }
};

struct LowPower final : LowPowerWatch {
    bool value = false;
    std::function<void()> changed;
    bool current() override { return value; }
    void observe(std::function<void()> handler) override { changed = std::move(handler); }
    void stopObserving() override { changed = nullptr; }
};

struct Engine final : QuickTest {
    Setup setup;
    int starts = 0;
    std::vector<SpeedMessage> delivered;
    std::function<void(SpeedSnapshot)> done;
    std::optional<std::string> failReason;

    void start() override { ++starts; }
    void deliver(SpeedMessage message) override { delivered.push_back(std::move(message)); }
    void fail(std::string reason, bool, std::optional<RunEndCause>, bool,
              std::function<void(SpeedSnapshot)> completion) override {
        failReason = std::move(reason);
        done = std::move(completion);
    }
};

}  // namespace sorvanta::fakes
