#include "quicktest/system_run_evidence.h"

#include <net/if.h>

#include "platform/system/admission_class.h"
#include "platform/system/ethernet_counter_capture.h"
#include "support/secure_random.h"

namespace sorvanta {

EthernetCounterSnapshot SystemRunEvidence::counters(const std::string& interface,
                                                    std::int64_t index, double offset) {
    return captureEthernetCounters(interface, index, offset);
}

std::optional<std::int64_t> SystemRunEvidence::interfaceIndex(const std::string& interface) {
    const unsigned index = if_nametoindex(interface.c_str());
    if (index == 0) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(index);
}

LinkReading SystemRunEvidence::link(const std::string& interface) {
    return hardware_ ? hardware_->linkState(interface) : LinkReading{};
}

std::optional<AdapterProfile> SystemRunEvidence::admittedAdapter(const std::string& interface) {
    auto identity = hardware_ ? hardware_->registryAdapter(interface) : std::nullopt;
    if (!identity || !isAdmitted(adapterAdmission(*identity))) {
        return std::nullopt;
    }
    return AdapterProfile::fromIdentity(*identity);
}

bool SystemRunEvidence::lowPowerMode() {
    return lowPower_ && lowPower_->lowPower();
}

bool systemRandomFill(std::span<std::uint8_t> buffer) {
    // The kernel source aborts rather than hand out predictable bytes, so it never fails.
    secureRandomFill(buffer);
    return true;
}

}  // namespace sorvanta
