#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include "platform/dnssd/advertised_listener.h"
#include "platform/dnssd/dnssd_browser.h"
#include "platform/net/network_executor.h"
#include "platform/net/network_interface.h"
#include "platform/net/path_monitor.h"
#include "platform/net/scheduler.h"
#include "platform/net/tcp_connection.h"
#include "platform/network_factory.h"
#include "platform/system/low_power_source.h"
#include "platform/system/wired_hardware_reader.h"
#include "protocol/control_frame_codec.h"
#include "protocol/interface_identity.h"
#include "protocol/ordered_callbacks.h"
#include "protocol/protocol_session.h"
#include "protocol/readiness_gate.h"
#include "protocol/service_snapshot.h"
#include "service/control_rate_limit.h"
#include "service/discovery_backoff.h"
#include "service/peer_directory.h"
#include "service/quick_test.h"

namespace sorvanta {

enum class ServiceLogLevel { info, notice };
// Where the service logs; the system transport log when none is given.
using ServiceLog = std::function<void(ServiceLogLevel, const std::string&)>;

// The long-lived network service of one running copy: wired interface tracking, Bonjour
// discovery, the control channels to the other Mac, the readiness to run a test, hosting the
// run, and the ServiceSnapshot published after every change.
//
// One serial executor owns all state. Platform handlers only wrap their event into a
// Callback and put it into one bounded queue (128 events) that a single pump drains in order;
// an overflow stops discovery until Search Again. Every handler carries the epoch it belongs
// to (start, discovery generation, browser instance, channel or run) and does nothing once
// that epoch is over; timers check tokens the same way. Handlers never hold a channel across
// a call that may close it: they look it up again by identifier.
class WireService : public std::enable_shared_from_this<WireService> {
  public:
    using Publish = std::function<void(const ServiceSnapshot&)>;

    static constexpr std::size_t eventCapacity = 128;
    // The most queued events one turn of the pump takes before it lets other work run.
    static constexpr std::size_t eventsPerTurn = 16;

    struct Dependencies {
        NetworkExecutor executor;
        std::shared_ptr<NetworkFactory> network;
        std::shared_ptr<Scheduler> scheduler;
        std::shared_ptr<WiredHardwareReader> hardware;
        std::shared_ptr<LowPowerSource> lowPower;
        QuickTestFactory makeQuickTest;
        ServiceLog log;
        // The computer's name as the system gives it; cleaned here.
        std::string computerName;
        // The model identifier advertised under "m" when valid.
        std::optional<std::string> model;
        // Drawn at random when absent.
        std::optional<Uuid> localID;
    };

    static std::shared_ptr<WireService> create(Dependencies dependencies);
    ~WireService();

    WireService(const WireService&) = delete;
    WireService& operator=(const WireService&) = delete;

    // The commands; each runs later on the service's executor, one at a time with events.
    void start(Publish publish);
    void stop();
    void searchAgain();
    // `index` is the system interface index of the chosen adapter.
    void selectInterface(int index);
    void startQuickTest(QuickProfile profile);
    void stopQuickTest();

    const Uuid& localID() const { return localID_; }
    const std::string& name() const { return name_; }
    // The current state; read on the executor.
    const ServiceSnapshot& snapshot() const { return snapshot_; }
    // How often the election restarted browsing; kept across stop and start. Read on the
    // executor.
    std::int64_t discoveryRestarts() const { return discoveryRestarts_; }

  private:
    explicit WireService(Dependencies dependencies);

    using Token = Scheduler::Token;

    static constexpr const char* linkNotViable =
        "Ethernet link is no longer viable. Reconnect the cable.";
    using Bytes = std::vector<std::uint8_t>;

    // The events of the queue. Listener and browser events carry their discovery generation
    // (browser events also the browser instance), channel events the channel, run outputs
    // the run.
    struct InterfacesEvent {
        NetworkPath path;
    };
    struct ListenerEvent {
        ListenerState state;
        Uuid generation;
    };
    struct BrowserEvent {
        DnssdState state;
        Uuid generation;
        std::uint64_t browser;
    };
    struct RegistrationEvent {
        std::string text;
        Uuid generation;
    };
    struct PeersEvent {
        std::vector<DnssdBrowseResult> results;
        Uuid generation;
        std::uint64_t browser;
    };
    struct AcceptedEvent {
        std::shared_ptr<TcpConnection> connection;
        Uuid generation;
    };
    struct ConnectionEvent {
        TransportState state;
        Uuid channel;
    };
    struct PathEvent {
        NetworkPath path;
        Uuid channel;
    };
    struct ViabilityEvent {
        Uuid channel;
    };
    struct ReceivedEvent {
        Bytes data;
        bool complete = false;
        std::optional<PlatformError> error;
        Uuid channel;
    };
    struct SentEvent {
        std::optional<PlatformError> error;
        Uuid channel;
    };
    struct QuickEvent {
        QuickTest::Output output;
        Uuid run;
    };
    using Callback = std::variant<InterfacesEvent, ListenerEvent, BrowserEvent, RegistrationEvent,
                                  PeersEvent, AcceptedEvent, ConnectionEvent, PathEvent,
                                  ViabilityEvent, ReceivedEvent, SentEvent, QuickEvent>;
    using Queue = OrderedCallbacks<Callback>;

    // The verified path's text and what it was written from: the channel's interface and the
    // path's two endpoints. Every received frame verifies the path again; while the source
    // stays the same the text (whose scoped addresses cost a lookup each) is not built again.
    struct PathEvidence {
        std::tuple<InterfaceIdentity, std::optional<Endpoint>, std::optional<Endpoint>> source;
        std::string text;
    };

    struct Channel {
        std::shared_ptr<TcpConnection> connection;
        InterfaceIdentity interface;
        std::optional<std::string> peerKey;
        ProtocolSession session;
        ControlFrameCodec codec;
        std::optional<Token> deadline;
        std::optional<Token> partialDeadline;
        Uuid deadlineToken = Uuid::random();
        Uuid partialToken = Uuid::random();
        int pendingSends = 0;
        ControlRateLimit rateLimit;
        bool receiving = false;
        std::optional<PathEvidence> pathEvidence;
        std::optional<bool> directLink;
        std::optional<Token> pathGrace;
    };

    struct SpeedRun {
        Uuid id;
        Uuid sender;
        Uuid channel;
        QuickProfile profile = QuickProfile::quick;
        std::shared_ptr<QuickTest> engine;
        std::optional<Token> deadline;
    };

    // Core.
    void doStart(Publish publish);
    void doStop();
    static void pumpNext(std::weak_ptr<WireService> service, std::shared_ptr<Queue> queue,
                         Uuid runID);
    static void discard(Callback& event);
    void dispatch(Callback& event, const Uuid& runID);
    void publishStep();
    void log(ServiceLogLevel level, const std::string& text) const;
    Token after(double seconds, std::function<void(WireService&)> action);
    void cancelTimer(std::optional<Token>& token);
    double serviceTime() const;
    std::optional<AdapterProfile> localAdapter(const std::string& name) const;

    // Adapter watch and Low Power.
    void scheduleHardwareCheck();
    // The run no longer holds the service busy unless its engine is still being stopped.
    void endBusy();
    void checkHardware();
    void lowPowerChanged(bool lowPower);

    // Run outputs, overflow, selection and Search Again.
    void handleQuickOutput(QuickTest::Output& output, const Uuid& run);
    void callbacksOverflowed(const Uuid& runID);
    void doSelectInterface(int index);
    void doSearchAgain();

    // Interfaces and discovery.
    void interfacesChanged(const NetworkPath& path, const Uuid& runID);
    void updateInterfaces(const std::vector<NetworkInterface>& available);
    void startDiscovery(const std::optional<NetworkInterface>& interface);
    void startBrowser(const std::optional<NetworkInterface>& interface);
    void resetDiscovery(bool connectionLost);
    // The chosen interface is gone: discovery on it ends and nothing is chosen.
    void dropSelection();
    void registrationChanged(const std::string& text, const Uuid& generation);
    void listenerStateChanged(const ListenerState& state, const Uuid& generation);
    void browserStateChanged(const DnssdState& state, const Uuid& generation,
                             std::uint64_t browser);
    void discoveryReady();
    void discoveryUnavailable(const std::string& detail, bool policyDenied, bool failed);
    void restartDiscovery(const Uuid& generation);
    // The parameters of the listener and of every control connection, dialled or accepted.
    NetworkParameters discoveryParameters(const std::optional<NetworkInterface>& interface) const;

    // Peers, dialling and accepting.
    void peersChanged(const std::vector<DnssdBrowseResult>& results, const Uuid& generation,
                      std::uint64_t browser);
    void dial(const std::string& key);
    void accepted(std::shared_ptr<TcpConnection> connection, const Uuid& generation);

    // Channels.
    Channel* findChannel(const Uuid& id);
    void adopt(std::shared_ptr<TcpConnection> connection, bool initiator,
               std::optional<std::string> peerKey, std::optional<Uuid> expectedPeer);
    void connectionChanged(const TransportState& state, const Uuid& id);
    void pathChanged(const NetworkPath& path, const Uuid& id);
    void viabilityLost(const Uuid& id);
    bool verifyPath(const Uuid& id, bool closeOnFailure);
    void recordPathEvidence(PathEvidence evidence, const Uuid& id);
    void showActiveChannel();
    void receiveNext(const Uuid& id);
    void recheckPath(const Uuid& id);

    // Received messages and election.
    void handleReceived(ReceivedEvent& event);
    // False when the rest of the chunk must be dropped without publishing.
    bool handleMessage(const Uuid& id, const ControlMessage& message);
    bool elect(const Uuid& id);
    void updatePartialDeadline(const Uuid& id, std::size_t decoded);

    // Sends and deadlines.
    void send(const ControlMessage& message, const Uuid& id);
    void handleSent(const std::optional<PlatformError>& error, const Uuid& id);
    void armHandshakeDeadline(const Uuid& id, int seconds);
    void checkPreparing(const Uuid& id, const Uuid& generation);
    void deadlineExpired(const Uuid& id, const Uuid& token, bool partial);

    // Close and recovery.
    void closeChannel(const Uuid& id, const std::string& reason, bool failed);
    // Closes a channel whose peer could not be reached or went silent, after asking the
    // browser to reconfirm that peer: a peer that vanished without a goodbye is then reported
    // gone within seconds instead of staying listed until its records' TTL ends.
    void closeUnreachedChannel(const Uuid& id, const std::string& reason, bool failed);
    void reconfirmPeer(const Channel& channel);
    // The peer a channel belongs to: the key it was dialled for, else the instance it named.
    static std::optional<std::string> peerKeyOf(const Channel& channel);
    void redial(const Uuid& generation);
    void restartBrowsing(const Uuid& instance);

    // Snapshot, readiness and runs.
    void refreshSnapshot();
    ReadinessGate::Facts readinessFacts(const Channel& channel) const;
    void reevaluateReadiness();
    void endHostedRun(const std::string& reason, bool failed, RunEndCause cause, bool remote,
                      bool sendCancel);
    void startRunEnd(std::shared_ptr<QuickTest> engine, const std::string& reason, bool failed,
                     RunEndCause cause, bool remote, const Uuid& run, bool sendFlag,
                     SpeedMessage cancel);
    void finishRun(const SpeedSnapshot& final, const Uuid& run,
                   const std::optional<SpeedMessage>& cancel);
    void sendSpeed(const SpeedMessage& message, const Uuid& channel);
    void doStartQuickTest(QuickProfile profile);
    void doStopQuickTest();
    void beginRunSnapshot(const SpeedRun& run);
    void admissionTimedOut(const Uuid& run);
    void handleSpeedMessage(const SpeedMessage& message, const Uuid& channel);
    void makeQuickTest(SpeedRun& run);
    void startEngine(const std::shared_ptr<QuickTest>& engine);

    // Fixed at creation.
    Dependencies deps_;
    Uuid localID_;
    std::string name_;
    double speedEpoch_ = 0;

    Publish publish_;
    ServiceSnapshot snapshot_;
    std::shared_ptr<PathMonitor> monitor_;
    std::shared_ptr<AdvertisedListener> listener_;
    std::shared_ptr<DnssdBrowser> browser_;
    std::uint64_t browserSerial_ = 0;
    std::vector<NetworkInterface> interfaces_;
    std::optional<NetworkInterface> selected_;
    std::optional<InterfaceIdentity> preferred_;
    PeerDirectory directory_;
    std::map<std::string, DnssdBrowseResult> browseResults_;
    std::int64_t discoveryRestarts_ = 0;
    std::map<Uuid, std::unique_ptr<Channel>> channels_;
    std::optional<Uuid> activeChannelID_;
    // The peer whose channel was the last to close, until a channel is active again: when it
    // then vanishes from browsing, that is what the status says.
    std::optional<std::string> lostPeer_;
    ReadinessGate readiness_;
    std::shared_ptr<SpeedRun> speedRun_;
    std::shared_ptr<SpeedRun> cleaningRun_;
    bool speedCleaning_ = false;
    std::shared_ptr<Queue> callbacks_;
    Uuid generation_ = Uuid::random();
    Uuid runID_ = Uuid::random();
    std::optional<Token> retryTask_;
    std::optional<Token> recoveryTask_;
    DiscoveryBackoff backoff_;
    bool started_ = false;
    bool listenerReady_ = false;
    bool browserReady_ = false;
    std::optional<Token> hardwareWatch_;
    bool lowPower_ = false;
    bool observingPower_ = false;
};

}  // namespace sorvanta
