#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <functional>
#include <memory>
#include <thread>

#include "model/model_service.h"
#include "service/wire_service.h"

namespace sorvanta {

// The network service as the model drives it: one WireService on an io thread of its own.
// Commands go straight through (the service posts each to its executor); snapshots arrive on
// that thread, as the model expects.
class WireModelService final : public ModelService {
  public:
    // Builds the service's dependencies for the io thread's executor.
    using Build = std::function<WireService::Dependencies(NetworkExecutor)>;

    explicit WireModelService(const Build& build);
    ~WireModelService() override;

    WireModelService(const WireModelService&) = delete;
    WireModelService& operator=(const WireModelService&) = delete;

    void start(Publish publish) override { service_->start(std::move(publish)); }
    void stop() override { service_->stop(); }
    void searchAgain() override { service_->searchAgain(); }
    void selectInterface(int index) override { service_->selectInterface(index); }
    void startQuickTest(QuickProfile profile) override { service_->startQuickTest(profile); }
    void stopQuickTest() override { service_->stopQuickTest(); }
    const Uuid& localID() const override { return service_->localID(); }

  private:
    // One thread runs it: handlers it posts to itself skip the shared queue.
    asio::io_context context_{1};
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::thread thread_;
    std::shared_ptr<WireService> service_;
};

}  // namespace sorvanta
