#include "quicktest/fake_engines.h"

#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <cmath>

#include "protocol/protocol_failure.h"

namespace sorvanta::test {

namespace {

constexpr double defaultRate = 940e6;

// Engine calls suspend like calls into another executor, so the run may end meanwhile.
asio::awaitable<void> yield(asio::any_io_executor executor) {
    co_await asio::post(executor, asio::use_awaitable);
}

class Factory final : public QuickEngineFactory {
  public:
    explicit Factory(std::shared_ptr<FakeWorld> world) : world_(std::move(world)) {}

    std::shared_ptr<BulkEngine> makeBulk(const BulkTransferSettings& settings,
                                         BulkNotify notify) override {
        if (settings.verificationOnly && world_->refuseChecks) {
            throw ProtocolFailure::unexpectedMessage;
        }
        auto bulk = std::make_shared<FakeBulk>(*world_, settings, std::move(notify));
        world_->bulks.push_back(bulk);
        return bulk;
    }

    std::shared_ptr<ProbeEngine> makeProbe(const UDPTransferSettings& settings,
                                           ProbeNotify notify) override {
        auto probe = std::make_shared<FakeProbe>(*world_, settings, std::move(notify));
        world_->probes.push_back(probe);
        return probe;
    }

  private:
    std::shared_ptr<FakeWorld> world_;
};

}  // namespace

std::shared_ptr<QuickEngineFactory> FakeWorld::factory() {
    return std::make_shared<Factory>(shared_from_this());
}

std::uint16_t FakeWorld::listen(std::shared_ptr<FakeBulk> bulk) {
    bulkListeners[++nextPort_] = bulk;
    return nextPort_;
}

std::uint16_t FakeWorld::listen(std::shared_ptr<FakeProbe> probe) {
    probeListeners[++nextPort_] = probe;
    return nextPort_;
}

// ---- FakeBulk ------------------------------------------------------------------------------

void FakeBulk::emit(BulkEvent event) {
    if (!ended_ && (!world_.onBulkEvent || world_.onBulkEvent(*this, event))) {
        notify_(std::move(event));
    }
}

void FakeBulk::breakConnection(const std::string& text, RunEndCause cause) {
    emit(BulkEvent::failure(text, cause));
    ended_ = true;
    transferring_ = false;
}

asio::awaitable<void> FakeBulk::start(std::optional<std::uint16_t> port) {
    co_await yield(world_.executor());
    if (auto gate = world_.startGate; gate && !settings_.receiving) {
        co_await gate->async_wait(asio::redirect_error(asio::use_awaitable, gateError_));
    }
    if (started_ || ended_) {
        co_return;
    }
    started_ = true;
    if (world_.onBulkStart && world_.onBulkStart(*this)) {
        co_return;
    }
    if (settings_.receiving) {
        port_ = world_.listen(shared_from_this());
        emit(BulkEvent::listening(port_));
        co_return;
    }
    auto found = port ? world_.bulkListeners.find(*port) : world_.bulkListeners.end();
    auto listener = found == world_.bulkListeners.end() ? nullptr : found->second.lock();
    if (!listener || listener->ended_ || listener->settings_.preamble != settings_.preamble) {
        if (settings_.verificationOnly) {
            emit(BulkEvent::preparation(BulkEvent::Kind::preparationFailed, SetupIssue::refused));
        }
        breakConnection("Data connection refused.", RunEndCause::connection);
        co_return;
    }
    world_.bulkListeners.erase(found);
    connected();
    listener->connected();
}

void FakeBulk::connected() {
    emit(BulkEvent::pathText("fake wired path"));
    if (settings_.verificationOnly) {
        emit(BulkEvent::of(BulkEvent::Kind::verified));
    } else if (settings_.receiving) {
        emit(BulkEvent::of(BulkEvent::Kind::receiverReady));
    }
}

asio::awaitable<void> FakeBulk::startTransfer() {
    co_await yield(world_.executor());
    if (ended_ || transferring_) {
        co_return;
    }
    transferring_ = true;
    transferStart_ = world_.now();
    if (settings_.receiving) {
        world_.scheduler().schedule(0.25, [self = shared_from_this()] { self->tick(); });
    }
}

SpeedSample FakeBulk::sampleAt(double now) const {
    auto rate = world_.rates.contains(settings_.preamble.sender)
                    ? world_.rates.at(settings_.preamble.sender)
                    : defaultRate;
    SpeedSample sample;
    sample.measuring = measureStart_.has_value();
    sample.seconds = std::min(now - measureStart_.value_or(transferStart_), 10.0);
    sample.bytes = static_cast<std::uint64_t>(rate * sample.seconds / 8);
    sample.rollingBps = rate;
    return sample;
}

void FakeBulk::tick() {
    if (ended_ || !transferring_) {
        return;
    }
    const double now = world_.now();
    if (!warmed_ && now - transferStart_ >= 2.0) {
        warmed_ = true;
        emit(BulkEvent::of(BulkEvent::Kind::warmed));
    }
    auto sample = sampleAt(now);
    if (measureStart_ && now - *measureStart_ >= 10.0) {
        emit(BulkEvent::measured(BulkEvent::Kind::result, sample));
        transferring_ = false;
        return;
    }
    emit(BulkEvent::measured(BulkEvent::Kind::progress, sample));
    world_.scheduler().schedule(0.25, [self = shared_from_this()] { self->tick(); });
}

asio::awaitable<void> FakeBulk::beginMeasurementWindow() {
    co_await yield(world_.executor());
}

asio::awaitable<void> FakeBulk::beginReceiverMeasurement() {
    co_await yield(world_.executor());
    if (ended_ || !settings_.receiving || !transferring_) {
        co_return;
    }
    if (measureStart_ || world_.now() - transferStart_ < 2.0) {
        breakConnection("Invalid measurement barrier.", RunEndCause::tester);
        co_return;
    }
    measureStart_ = world_.now();
}

asio::awaitable<void> FakeBulk::prepareForCollection() {
    co_await yield(world_.executor());
    transferring_ = false;
}

asio::awaitable<std::optional<TCPObservation>> FakeBulk::collectReport() {
    co_await yield(world_.executor());
    if (settings_.receiving || settings_.verificationOnly || collected_) {
        co_return std::nullopt;
    }
    collected_ = true;
    const auto& preamble = settings_.preamble;
    TCPObservation report;
    report.run = preamble.run;
    report.session = preamble.session;
    report.sender = preamble.sender;
    report.stage = preamble.stage;
    report.connection = Uuid::random();
    report.interface = settings_.interface->name;
    report.interfaceIndex = settings_.interface->index;
    report.duration = 12.0;
    report.sent = 1'400'000'000;
    report.retransmitted = 0;
    co_return report;
}

asio::awaitable<void> FakeBulk::shutdown() {
    co_await yield(world_.executor());
    if (auto gate = world_.shutdownGate) {
        co_await gate->async_wait(asio::redirect_error(asio::use_awaitable, gateError_));
    }
    if (world_.holdShutdowns) {
        auto own = std::make_shared<asio::steady_timer>(world_.executor());
        own->expires_at(asio::steady_timer::time_point::max());
        world_.heldShutdowns.push_back(own);
        co_await own->async_wait(asio::redirect_error(asio::use_awaitable, gateError_));
    }
    ended_ = true;
    transferring_ = false;
}

// ---- FakeProbe -----------------------------------------------------------------------------

void FakeProbe::emit(ProbeEvent event) {
    if (cancelled_ || (world_.onProbeEvent && !world_.onProbeEvent(*this, event))) {
        return;
    }
    notify_(std::move(event));
}

void FakeProbe::start(std::optional<std::uint16_t> port) {
    if (settings_.receiving) {
        port_ = world_.listen(shared_from_this());
        emit(ProbeEvent::listening(port_));
        return;
    }
    auto found = port ? world_.probeListeners.find(*port) : world_.probeListeners.end();
    auto receiver = found == world_.probeListeners.end() ? nullptr : found->second.lock();
    if (!receiver || receiver->settings_.binding != settings_.binding) {
        emit(ProbeEvent::failure("Probe receiver unreachable.", false, RunEndCause::connection));
        return;
    }
    receiver->emit(ProbeEvent::ready("fake udp path"));
    world_.scheduler().schedule(0.5, [receiver] { receiver->emit(ProbeEvent::progress(1000)); });
    world_.scheduler().schedule(settings_.measuredDuration, [self = shared_from_this()] {
        self->emit(ProbeEvent::sent(self->summary(), "fake udp path"));
    });
}

UDPSendSummary FakeProbe::summary() const {
    UDPSendSummary send;
    send.accepted = static_cast<std::int64_t>(
        std::llround(settings_.capacity * 0.75 * settings_.measuredDuration / 9600.0));
    send.attempted = send.accepted;
    send.seconds = settings_.measuredDuration;
    send.measurementStart = 0.5;
    send.measurementEnd = 0.5 + settings_.measuredDuration;
    send.maximumGap = 0.001;
    return send;
}

UDPObservation FakeProbe::observation(const UDPSendSummary& send) const {
    const auto& binding = settings_.binding;
    UDPObservation o;
    o.run = binding.run;
    o.session = binding.session;
    o.probe = binding.probe;
    o.sender = binding.sender;
    o.leg = binding.leg;
    o.capacity = settings_.capacity;
    o.send = send;
    o.plannedSeconds = 3.0;  // the sequencer puts in the leg's own value
    o.unique = send.accepted;
    o.arrivalSpan = settings_.measuredDuration * 0.99;
    o.tailSeconds = 0.5;
    o.jitter = 0.0001;
    o.maximumJitter = 0.0002;
    o.senderPath = "fake udp path";
    o.receiverPath = "fake udp path";
    o.unexplainedHoles = 0;
    const bool limited = settings_.measuredDuration == 3.0 &&
                         std::find(world_.limitedLegs.begin(), world_.limitedLegs.end(),
                                   binding.leg) != world_.limitedLegs.end();
    if (limited) {
        o.unique = send.accepted / 2;  // lost to this receiver's own queue
    }
    return o;
}

void FakeProbe::acceptSenderSummary(const UDPSendSummary& summary, const std::string&) {
    world_.scheduler().schedule(0.5, [self = shared_from_this(), summary] {
        self->emit(ProbeEvent::result(self->observation(summary)));
    });
}

std::optional<UDPObservation> FakeProbe::finish() {
    auto o = observation(summary());
    o.reason = "Interrupted probe; final range/tail evidence is incomplete.";
    return o;
}

EthernetCounterSnapshot FakeEvidence::counters(const std::string&, std::int64_t, double offset) {
    EthernetCounterSnapshot snapshot;
    snapshot.offset = offset;
    snapshot.registryID = 7;
    snapshot.administrativeChange = "1:0";
    snapshot.rxErrors = snapshot.txErrors = snapshot.inputDrops = 0;
    return snapshot;
}

}  // namespace sorvanta::test
