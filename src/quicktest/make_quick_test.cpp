#include "quicktest/make_quick_test.h"

#include <asio/strand.hpp>

#include "platform/net/asio_scheduler.h"
#include "quicktest/quick_sequencer.h"
#include "quicktest/system_run_evidence.h"

namespace sorvanta {

std::shared_ptr<QuickTest> makeQuickTest(QuickTest::Setup setup, asio::any_io_executor executor,
                                         std::shared_ptr<QuickEngineFactory> engines,
                                         std::shared_ptr<const WiredHardwareReader> hardware,
                                         std::shared_ptr<const LowPowerSource> lowPower) {
    asio::any_io_executor strand = asio::make_strand(executor);
    QuickSequencer::Dependencies dependencies{
        strand, std::move(engines), std::make_shared<AsioScheduler>(strand),
        std::make_shared<SystemRunEvidence>(std::move(hardware), std::move(lowPower)),
        systemRandomFill};
    return QuickSequencer::make(std::move(setup), std::move(dependencies));
}

QuickTestFactory quickTestFactory(asio::any_io_executor executor,
                                  std::shared_ptr<QuickEngineFactory> engines,
                                  std::shared_ptr<const WiredHardwareReader> hardware,
                                  std::shared_ptr<const LowPowerSource> lowPower) {
    return [=](QuickTest::Setup setup) {
        return makeQuickTest(std::move(setup), executor, engines, hardware, lowPower);
    };
}

}  // namespace sorvanta
