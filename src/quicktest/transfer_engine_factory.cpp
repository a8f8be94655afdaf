#include "quicktest/transfer_engine_factory.h"

#include <asio/async_result.hpp>
#include <asio/dispatch.hpp>
#include <asio/post.hpp>
#include <asio/strand.hpp>
#include <asio/use_awaitable.hpp>

#include "engines/bulk_transfer.h"
#include "engines/udp_transfer.h"
#include "platform/net/asio_scheduler.h"

namespace sorvanta {

namespace {

// Completes a waiting coroutine on its own executor.
template <class Handler, class... Values>
void resume(Handler& handler, Values&&... values) {
    auto executor = asio::get_associated_executor(handler);
    asio::dispatch(executor, [handler = std::move(handler),
                              ... values = std::forward<Values>(values)]() mutable {
        std::move(handler)(std::move(values)...);
    });
}

BulkEvent translate(const BulkTransfer::Event& value) {
    using Kind = BulkEvent::Kind;
    using E = BulkTransferEvent;
    if (auto* e = std::get_if<E::Listening>(&value)) {
        return BulkEvent::listening(e->port);
    }
    if (auto* e = std::get_if<E::PreparationWaiting>(&value)) {
        return BulkEvent::preparation(Kind::preparationWaiting, e->issue);
    }
    if (auto* e = std::get_if<E::PreparationFailed>(&value)) {
        return BulkEvent::preparation(Kind::preparationFailed, e->issue);
    }
    if (auto* e = std::get_if<E::Progress>(&value)) {
        return BulkEvent::measured(Kind::progress, e->sample);
    }
    if (auto* e = std::get_if<E::Result>(&value)) {
        return BulkEvent::measured(Kind::result, e->sample);
    }
    if (auto* e = std::get_if<E::Path>(&value)) {
        return BulkEvent::pathText(e->text);
    }
    if (auto* e = std::get_if<E::Failed>(&value)) {
        return BulkEvent::failure(e->message, e->cause);
    }
    if (std::holds_alternative<E::Verified>(value)) {
        return BulkEvent::of(Kind::verified);
    }
    if (std::holds_alternative<E::ReceiverReady>(value)) {
        return BulkEvent::of(Kind::receiverReady);
    }
    return BulkEvent::of(Kind::warmed);
}

// A BulkTransfer on a thread lent to it alone, driven from the run's executor: each call runs
// on the engine's thread and resumes the run on its own.
class BulkTransferEngine final : public BulkEngine {
  public:
    BulkTransferEngine(std::shared_ptr<IoThreadPool> threads,
                       std::shared_ptr<NetworkFactory> network,
                       const BulkTransferSettings& settings, BulkNotify notify)
        : threads_(std::move(threads)),
          lease_(threads_->lease()),
          executor_(lease_.executor),
          network_(std::move(network)),
          scheduler_(std::make_shared<AsioScheduler>(executor_)) {
        engine_ =
            BulkTransfer::create(executor_, *network_, *scheduler_, settings,
                                 [notify = std::move(notify)](const BulkTransfer::Event& event) {
                                     notify(translate(event));
                                 });
    }

    ~BulkTransferEngine() override {
        // The engine's own handlers may still be queued on its executor; its timers and
        // network must outlive them, and the thread stays lent until they are gone.
        asio::post(executor_, [engine = std::move(engine_), scheduler = std::move(scheduler_),
                               network = std::move(network_), hold = std::move(lease_.hold)] {});
    }

    asio::awaitable<void> start(std::optional<std::uint16_t> port) override {
        co_await onEngine([port](BulkTransfer& e) { e.start(port); });
    }
    asio::awaitable<void> startTransfer() override {
        co_await onEngine([](BulkTransfer& e) { e.startTransfer(); });
    }
    asio::awaitable<void> beginMeasurementWindow() override {
        co_await onEngine([](BulkTransfer& e) { e.beginMeasurementWindow(); });
    }
    asio::awaitable<void> beginReceiverMeasurement() override {
        co_await onEngine([](BulkTransfer& e) { e.applyMeasurementBarrier(); });
    }
    asio::awaitable<void> prepareForCollection() override {
        co_await onEngine([](BulkTransfer& e) { e.prepareForCollection(); });
    }
    asio::awaitable<void> shutdown() override {
        co_await onEngine([](BulkTransfer& e) { e.shutdown(); });
    }

    asio::awaitable<std::optional<TCPObservation>> collectReport() override {
        co_return co_await asio::async_initiate<const asio::use_awaitable_t<>&,
                                                void(std::optional<TCPObservation>)>(
            [this](auto handler) {
                auto waiting = std::make_shared<decltype(handler)>(std::move(handler));
                asio::post(executor_, [engine = engine_, waiting] {
                    engine->collectReport([waiting](std::optional<TCPObservation> report) {
                        resume(*waiting, std::move(report));
                    });
                });
            },
            asio::use_awaitable);
    }

  private:
    template <class Work>
    asio::awaitable<void> onEngine(Work work) {
        co_await asio::async_initiate<const asio::use_awaitable_t<>&, void()>(
            [this, &work](auto handler) {
                asio::post(executor_, [engine = engine_, work = std::move(work),
                                     handler = std::move(handler)]() mutable {
                    work(*engine);
                    resume(handler);
                });
            },
            asio::use_awaitable);
    }

    // Declared first: the threads outlive the engine's last queued work.
    std::shared_ptr<IoThreadPool> threads_;
    IoThreadPool::Lease lease_;
    NetworkExecutor executor_;
    std::shared_ptr<NetworkFactory> network_;
    std::shared_ptr<AsioScheduler> scheduler_;
    std::shared_ptr<BulkTransfer> engine_;
};

ProbeEvent translate(const UDPTransfer::Event& value) {
    if (auto* e = std::get_if<UDPTransfer::Listening>(&value)) {
        return ProbeEvent::listening(e->port);
    }
    if (auto* e = std::get_if<UDPTransfer::Ready>(&value)) {
        return ProbeEvent::ready(e->path);
    }
    if (auto* e = std::get_if<UDPTransfer::Progress>(&value)) {
        return ProbeEvent::progress(e->count);
    }
    if (auto* e = std::get_if<UDPTransfer::Sent>(&value)) {
        return ProbeEvent::sent(e->summary, e->path);
    }
    if (auto* e = std::get_if<UDPTransfer::Result>(&value)) {
        return ProbeEvent::result(e->observation);
    }
    const auto& failed = std::get<UDPTransfer::Failed>(value);
    return ProbeEvent::failure(failed.reason, failed.safety, failed.cause);
}

// The UDP probe engine takes its own lock in every call, so the run calls it directly.
class UDPTransferEngine final : public ProbeEngine {
  public:
    explicit UDPTransferEngine(std::shared_ptr<UDPTransfer> engine) : engine_(std::move(engine)) {}
    ~UDPTransferEngine() override { engine_->cancel(); }

    void start(std::optional<std::uint16_t> port) override { engine_->start(port); }
    void checkPath() override { engine_->checkPath(); }
    void noteRemoteProgress(std::int64_t count) override { engine_->noteRemoteProgress(count); }
    void acceptSenderSummary(const UDPSendSummary& summary, const std::string& path) override {
        engine_->acceptSenderSummary(summary, path);
    }
    std::optional<UDPObservation> finish() override { return engine_->finish(); }
    void cancel() override { engine_->cancel(); }

  private:
    std::shared_ptr<UDPTransfer> engine_;
};

}  // namespace

std::shared_ptr<BulkEngine> TransferEngineFactory::makeBulk(const BulkTransferSettings& settings,
                                                            BulkNotify notify) {
    return std::make_shared<BulkTransferEngine>(threads_, network_, settings, std::move(notify));
}

std::shared_ptr<ProbeEngine> TransferEngineFactory::makeProbe(const UDPTransferSettings& settings,
                                                              ProbeNotify notify) {
    UDPTransfer::Setup setup;
    static_cast<UDPTransferSettings&>(setup) = settings;
    setup.executor = asio::make_strand(executor_);
    setup.factory = network_;
    setup.notify = [notify = std::move(notify)](UDPTransfer::Event event) {
        notify(translate(event));
    };
    return std::make_shared<UDPTransferEngine>(UDPTransfer::make(std::move(setup)));
}

}  // namespace sorvanta
