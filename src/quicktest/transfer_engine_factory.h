#pragma once

#include <memory>

#include "platform/net/network_executor.h"
#include "platform/network_factory.h"
#include "quicktest/quick_test_engines.h"

namespace sorvanta {

// The engines of the running program: each TCP engine and each UDP probe engine on its own
// strand of `executor`, reaching the network through `network`.
class TransferEngineFactory final : public QuickEngineFactory {
  public:
    TransferEngineFactory(NetworkExecutor executor, std::shared_ptr<NetworkFactory> network)
        : executor_(std::move(executor)), network_(std::move(network)) {}

    std::shared_ptr<BulkEngine> makeBulk(const BulkEngineSettings& settings,
                                         BulkNotify notify) override;
    std::shared_ptr<ProbeEngine> makeProbe(const ProbeEngineSettings& settings,
                                           ProbeNotify notify) override;

  private:
    NetworkExecutor executor_;
    std::shared_ptr<NetworkFactory> network_;
};

}  // namespace sorvanta
