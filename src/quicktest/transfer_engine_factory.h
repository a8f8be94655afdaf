#pragma once

#include <memory>

#include "platform/net/io_thread_pool.h"
#include "platform/net/network_executor.h"
#include "platform/network_factory.h"
#include "quicktest/quick_test_engines.h"

namespace sorvanta {

// The engines of the running program, reaching the network through `network`: each TCP
// engine on a thread of its own (a connection at full rate needs a core, and the two
// directions of a duplex stage would otherwise share one), each UDP probe engine on its own
// strand of `executor`. Destroy the factory on `executor`'s thread, after its engines.
class TransferEngineFactory final : public QuickEngineFactory {
  public:
    TransferEngineFactory(NetworkExecutor executor, std::shared_ptr<NetworkFactory> network)
        : executor_(std::move(executor)),
          network_(std::move(network)),
          threads_(std::make_shared<IoThreadPool>()) {}

    std::shared_ptr<BulkEngine> makeBulk(const BulkTransferSettings& settings,
                                         BulkNotify notify) override;
    std::shared_ptr<ProbeEngine> makeProbe(const UDPTransferSettings& settings,
                                           ProbeNotify notify) override;

  private:
    NetworkExecutor executor_;
    std::shared_ptr<NetworkFactory> network_;
    std::shared_ptr<IoThreadPool> threads_;
};

}  // namespace sorvanta
