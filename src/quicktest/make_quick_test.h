#pragma once

#include <asio/any_io_executor.hpp>
#include <memory>

#include "platform/system/low_power_source.h"
#include "platform/system/wired_hardware_reader.h"
#include "quicktest/quick_test.h"
#include "quicktest/quick_test_engines.h"

namespace sorvanta {

// A run of the running program: its own strand on `executor`, steady-clock timers, the
// system's evidence readers and secure random bytes, and the engines from `engines`.
std::shared_ptr<QuickTest> makeQuickTest(QuickTest::Setup setup, asio::any_io_executor executor,
                                         std::shared_ptr<QuickEngineFactory> engines,
                                         std::shared_ptr<const WiredHardwareReader> hardware,
                                         std::shared_ptr<const LowPowerSource> lowPower);

// The factory the network service builds its runs with.
QuickTestFactory quickTestFactory(asio::any_io_executor executor,
                                  std::shared_ptr<QuickEngineFactory> engines,
                                  std::shared_ptr<const WiredHardwareReader> hardware,
                                  std::shared_ptr<const LowPowerSource> lowPower);

}  // namespace sorvanta
