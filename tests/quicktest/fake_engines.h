#pragma once

#include <asio/steady_timer.hpp>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "lab/fake_scheduler.h"
#include "quicktest/quick_test_engines.h"
#include "quicktest/run_environment.h"

namespace sorvanta::test {

class FakeWorld;

// A TCP engine that simulates a data or check connection: listeners by port, preamble
// match, a receiver that warms up after 2 s and measures 10 s of a fixed rate.
class FakeBulk final : public BulkEngine, public std::enable_shared_from_this<FakeBulk> {
  public:
    FakeBulk(FakeWorld& world, BulkTransferSettings settings, BulkNotify notify)
        : world_(world), settings_(std::move(settings)), notify_(std::move(notify)) {}

    asio::awaitable<void> start(std::optional<std::uint16_t> port) override;
    asio::awaitable<void> startTransfer() override;
    asio::awaitable<void> beginMeasurementWindow() override;
    asio::awaitable<void> beginReceiverMeasurement() override;
    asio::awaitable<void> prepareForCollection() override;
    asio::awaitable<std::optional<TCPObservation>> collectReport() override;
    asio::awaitable<void> shutdown() override;

    // Reports `failed` and ends, like an engine whose connection broke.
    void breakConnection(const std::string& text, RunEndCause cause);
    void emit(BulkEvent event);

    const BulkTransferSettings& settings() const { return settings_; }
    bool ended() const { return ended_; }

  private:
    void connected();
    void tick();
    SpeedSample sampleAt(double now) const;

    FakeWorld& world_;
    BulkTransferSettings settings_;
    BulkNotify notify_;
    bool started_ = false;
    bool ended_ = false;
    bool transferring_ = false;
    bool warmed_ = false;
    bool collected_ = false;
    std::uint16_t port_ = 0;
    asio::error_code gateError_;
    double transferStart_ = 0;
    std::optional<double> measureStart_;
};

// A UDP probe engine: the receiver listens, the sender reports `sent` after the planned
// time, the receiver reports its result 0.5 s after the sender's summary.
class FakeProbe final : public ProbeEngine, public std::enable_shared_from_this<FakeProbe> {
  public:
    FakeProbe(FakeWorld& world, UDPTransferSettings settings, ProbeNotify notify)
        : world_(world), settings_(std::move(settings)), notify_(std::move(notify)) {}

    void start(std::optional<std::uint16_t> port) override;
    void checkPath() override {}
    void noteRemoteProgress(std::int64_t) override {}
    void acceptSenderSummary(const UDPSendSummary& summary, const std::string& path) override;
    std::optional<UDPObservation> finish() override;
    void cancel() override { cancelled_ = true; }

    void emit(ProbeEvent event);
    const UDPTransferSettings& settings() const { return settings_; }
    UDPSendSummary summary() const;
    UDPObservation observation(const UDPSendSummary& send) const;

  private:
    FakeWorld& world_;
    UDPTransferSettings settings_;
    ProbeNotify notify_;
    bool cancelled_ = false;
    std::uint16_t port_ = 0;
};

// The two computers' engines and the wire between them.
class FakeWorld final : public std::enable_shared_from_this<FakeWorld> {
  public:
    FakeWorld(asio::any_io_executor executor, testing::FakeScheduler& scheduler)
        : executor_(std::move(executor)), scheduler_(scheduler) {}

    // A factory for one computer's sequencer.
    std::shared_ptr<QuickEngineFactory> factory();

    asio::any_io_executor executor() const { return executor_; }
    testing::FakeScheduler& scheduler() { return scheduler_; }
    double now() { return scheduler_.clock().now(); }
    std::uint16_t listen(std::shared_ptr<FakeBulk> bulk);
    std::uint16_t listen(std::shared_ptr<FakeProbe> probe);

    // Rate each direction's receiver measures, by sender; default 940 Mbit/s.
    std::map<Uuid, double> rates;
    // Receivers of leg attempts with attempt 0 (by leg) that report half the datagrams lost
    // to their own receive queue, so a lower-rate retry follows.
    std::vector<std::int64_t> limitedLegs;
    // Runs instead of the default start of a bulk engine when it returns true.
    std::function<bool(FakeBulk&)> onBulkStart;
    // Runs before a bulk engine reports; returns false to keep it silent.
    std::function<bool(FakeBulk&, const BulkEvent&)> onBulkEvent;
    // Runs before a probe engine reports; returns false to keep it silent.
    std::function<bool(FakeProbe&, const ProbeEvent&)> onProbeEvent;
    // Throws from makeBulk for verification engines when set.
    bool refuseChecks = false;
    // While set, every dialling bulk engine's start waits for it (cancel it to release them).
    std::shared_ptr<asio::steady_timer> startGate;
    // While set, every bulk engine's shutdown waits for it.
    std::shared_ptr<asio::steady_timer> shutdownGate;
    // While set, every bulk engine's shutdown waits for a gate of its own, added to
    // `heldShutdowns` (cancel one to release that engine alone).
    bool holdShutdowns = false;
    std::vector<std::shared_ptr<asio::steady_timer>> heldShutdowns;

    std::vector<std::shared_ptr<FakeBulk>> bulks;
    std::vector<std::shared_ptr<FakeProbe>> probes;
    std::map<std::uint16_t, std::weak_ptr<FakeBulk>> bulkListeners;
    std::map<std::uint16_t, std::weak_ptr<FakeProbe>> probeListeners;

  private:
    asio::any_io_executor executor_;
    testing::FakeScheduler& scheduler_;
    std::uint16_t nextPort_ = 40000;
};

// Evidence readers with a steady link; tests may flip Low Power Mode.
class FakeEvidence final : public RunEvidenceSource {
  public:
    EthernetCounterSnapshot counters(const std::string&, std::int64_t, double offset) override;
    std::optional<std::int64_t> interfaceIndex(const std::string&) override { return index; }
    LinkReading link(const std::string&) override { return reading; }
    std::optional<AdapterProfile> admittedAdapter(const std::string&) override {
        return std::nullopt;
    }
    bool lowPowerMode() override { return lowPower; }

    std::int64_t index = 3;
    LinkReading reading{true, 1'000'000'000, true};
    bool lowPower = false;
};

}  // namespace sorvanta::test
