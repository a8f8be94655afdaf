#pragma once

#include <memory>

#include "platform/system/low_power_source.h"
#include "platform/system/wired_hardware_reader.h"
#include "quicktest/run_environment.h"

namespace sorvanta {

// The evidence readers of the running program: the kernel's interface counters and index,
// the wired hardware reader's link state and adapter, the Low Power Mode source.
class SystemRunEvidence final : public RunEvidenceSource {
  public:
    SystemRunEvidence(std::shared_ptr<const WiredHardwareReader> hardware,
                      std::shared_ptr<const LowPowerSource> lowPower)
        : hardware_(std::move(hardware)), lowPower_(std::move(lowPower)) {}

    EthernetCounterSnapshot counters(const std::string& interface, std::int64_t index,
                                     double offset) override;
    std::optional<std::int64_t> interfaceIndex(const std::string& interface) override;
    LinkReading link(const std::string& interface) override;
    std::optional<AdapterProfile> admittedAdapter(const std::string& interface) override;
    bool lowPowerMode() override;

  private:
    std::shared_ptr<const WiredHardwareReader> hardware_;
    std::shared_ptr<const LowPowerSource> lowPower_;
};

// Fills the buffer from the kernel's secure random source.
bool systemRandomFill(std::span<std::uint8_t> buffer);

}  // namespace sorvanta
