#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/net/scheduler.h"
#include "protocol/ethernet_run_evidence.h"
#include "protocol/ordered_callbacks.h"
#include "protocol/quick_stage.h"
#include "protocol/udp_observation.h"
#include "quicktest/quick_test.h"
#include "quicktest/quick_test_engines.h"
#include "quicktest/run_environment.h"

namespace sorvanta {

// The sequencer of one run on this computer: check connections both ways, the TCP stages
// of the profile, report exchange and close-out, the UDP quality phase, this computer's
// Ethernet evidence, and every deadline. All of its state lives on one serial executor;
// each input is handled to its end (awaits included) before the next is taken, and after
// every await the run may have ended meanwhile, so later steps look at `ended_` again.
class QuickSequencer final : public QuickTest, public std::enable_shared_from_this<QuickSequencer> {
  public:
    struct Dependencies {
        // The run's serial executor (a strand or a single-threaded context).
        asio::any_io_executor executor;
        std::shared_ptr<QuickEngineFactory> engines;
        // Timers and the monotonic clock of the run, on `executor`.
        std::shared_ptr<Scheduler> scheduler;
        std::shared_ptr<RunEvidenceSource> evidence;
        RandomFill random;
    };

    // Runs start at the scheduler clock's present reading (the run's epoch).
    static std::shared_ptr<QuickSequencer> make(Setup setup, Dependencies dependencies);

    void start() override;
    void fail(std::string reason, bool failed, std::optional<RunEndCause> cause, bool remote,
              std::function<void(SpeedSnapshot)> done) override;
    void deliver(SpeedMessage message) override;

    // Seconds since the run's epoch.
    double now() const;

  private:
    using Inbox = OrderedCallbacks<Input>;
    using Kind = SpeedMessage::Kind;

    QuickSequencer(Setup setup, Dependencies dependencies);

    // Lifecycle and outputs.
    asio::awaitable<void> startRun();
    static asio::awaitable<void> consume(std::weak_ptr<QuickSequencer> weak,
                                         std::weak_ptr<Inbox> inbox);
    void spawn(asio::awaitable<void> work);
    void armTicker();
    bool isInitiator() const { return setup_.local == setup_.initiator; }
    SpeedMessage message(Kind kind, const Uuid& sender) const;
    void send(SpeedMessage message);
    void publish();
    void notify(Output::Kind kind, std::optional<SpeedMessage> message = std::nullopt);
    std::optional<std::vector<std::uint8_t>> randomToken();
    void appendTrace(std::string line);

    // Endings and deadlines.
    asio::awaitable<void> failRun(std::string reason, bool failed, std::optional<RunEndCause> cause,
                                  bool remote);
    asio::awaitable<void> failAfterGrace(std::string reason, RunEndCause cause);
    asio::awaitable<void> checkDeadlines(double t);
    void finish();
    void stopTasks();
    // Marks `ended` reported, and hands the final state to waiting hosts once no engine is
    // still shutting down.
    void reachFinal();
    // Shuts the engines down one after another; the whole list counts as shutting down
    // until its last engine has stopped.
    asio::awaitable<void> stopEngines(std::map<Uuid, std::shared_ptr<BulkEngine>> list);

    // Ethernet evidence.
    void captureEvidence();
    void recordLinkSample(EthernetRunEvidence& evidence);
    void sampleLink();
    void finalizeLocalEvidence();
    void mergePeerEvidence(const std::optional<EthernetRunEvidence>& evidence);
    void storeEvidence(const EthernetRunEvidence& evidence);

    // Check connections.
    std::shared_ptr<BulkEngine> makeCheck(const Uuid& owner, std::vector<std::uint8_t> token);
    asio::awaitable<void> releaseChecks();
    asio::awaitable<void> closeEngines();
    asio::awaitable<void> handleCheck(BulkEvent event, Uuid owner);
    asio::awaitable<void> checkProgress();
    asio::awaitable<void> beginAfterChecks();
    asio::awaitable<void> receiveCheck(const SpeedMessage& message);

    // Stages.
    QuickStage stageMode() const;
    std::size_t stageCount() const;
    std::vector<Uuid> stageSenders() const;
    bool isStageSender(const Uuid& sender) const;
    std::string stageStatus(const std::string& tail) const;
    std::shared_ptr<BulkEngine> makeEngine(const Uuid& sender, std::vector<std::uint8_t> token);
    std::shared_ptr<BulkEngine> engineOf(const Uuid& sender) const;
    asio::awaitable<void> startStage();
    asio::awaitable<void> handleBulk(BulkEvent event, Uuid sender);
    void bulkBarrier();
    asio::awaitable<void> maybeMeasure();
    asio::awaitable<void> measure();
    void record(const SpeedSample& sample, const Uuid& sender, bool final);
    bool stageComplete() const;
    void maybeFinish();
    asio::awaitable<void> prepareEnginesForCollection();

    // Dispatch, reports and close-out.
    asio::awaitable<void> handle(Input input);
    asio::awaitable<void> receive(SpeedMessage message);
    asio::awaitable<void> receiveStage(const SpeedMessage& message);
    asio::awaitable<void> handleReports(std::vector<TCPObservation> reports);
    void mergeReports(const TCPObservation& observation);
    asio::awaitable<void> closeOut();
    void startCollection();
    static asio::awaitable<void> collect(std::shared_ptr<BulkEngine> engine,
                                         std::shared_ptr<Inbox> inbox, std::int64_t stage,
                                         std::shared_ptr<bool> cancelled);
    void commitStage();
    asio::awaitable<void> nextStage();

    // Quality phase.
    Uuid legSender() const;
    bool sendsLeg() const { return legSender() == setup_.local; }
    void beginQuality();
    void startLeg();
    void clearBinding();
    void cancelProbe();
    std::shared_ptr<ProbeEngine> makeProbe(double capacity, double plannedSeconds,
                                           const UDPBinding& binding);
    void legResult(const UDPObservation& observation);
    void qualityUnavailable(const std::string& reason);
    void finishQuality();
    UDPControl currentControl() const;
    std::optional<UDPObservation::Plan> legPlan() const;
    void checkObservation(const UDPObservation& observation) const;
    bool hasObservation(std::int64_t leg, std::optional<std::int64_t> attempt) const;
    asio::awaitable<void> handleQuality(ProbeEvent event);
    asio::awaitable<void> receiveQuality(const SpeedMessage& message);
    void receiveLegMessage(const SpeedMessage& message);
    void sendLegMessage(Kind kind, const Uuid& sender, UDPControl control);

    const Setup setup_;
    const Dependencies deps_;
    const double epoch_;
    std::shared_ptr<Inbox> inbox_;

    std::optional<Scheduler::Token> ticker_;
    std::optional<Scheduler::Token> transition_;
    // The running report collection; set to true to cancel it.
    std::shared_ptr<bool> collection_;

    bool localReportsFinished_ = false;
    bool peerReportsFinished_ = false;
    std::optional<EthernetRunEvidence> ethernet_;
    std::optional<double> qualityStarted_;
    std::shared_ptr<ProbeEngine> udpTransfer_;
    std::optional<UDPBinding> udpBinding_;
    // Probes of attempts already superseded or cancelled: their messages may still be in
    // flight and are dropped.
    std::vector<Uuid> retiredProbes_;
    std::int64_t udpLeg_ = 0;
    std::int64_t udpAttempt_ = 0;
    std::optional<UDPSendSummary> udpSent_;
    std::optional<UDPObservation> udpResult_;
    bool udpStarted_ = false;
    bool qualityFinalizing_ = false;

    SpeedSnapshot state_;
    std::map<Uuid, std::shared_ptr<BulkEngine>> engines_;
    std::map<Uuid, std::shared_ptr<BulkEngine>> checks_;
    bool checksReadySent_ = false;
    std::map<Uuid, std::vector<std::uint8_t>> tokens_;
    std::set<Uuid> started_;
    std::set<Uuid> warm_;
    bool measured_ = false;
    bool closing_ = false;
    bool ended_ = false;
    // `ended` was reported, with the evidence final.
    bool endReported_ = false;
    // Engine shutdowns under way, or still to come in a list being stopped.
    std::size_t stopping_ = 0;
    // Completions of host fails that came while an ending was still shutting engines down.
    std::vector<std::function<void(SpeedSnapshot)>> finalWaiters_;
    bool begun_ = false;
    double stageStarted_ = 0;
    std::optional<double> bulkStarted_;
    std::optional<double> resultWait_;
    std::optional<double> closeWait_;
    struct Grace {
        std::string reason;
        double at = 0;
    };
    std::optional<Grace> failureGrace_;
    double lastRemoteProgress_ = 0;
};

}  // namespace sorvanta
