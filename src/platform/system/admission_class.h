#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "protocol/hardware_identity.h"

namespace sorvanta {

// Which adapters the system vouches for: any PCI provider (built-in, slot or tunnelled) and
// USB adapters with one of two qualified vendor and product pairs.
enum class AdmissionClass { pciProvider, qualifiedUSB, unqualifiedUSB, unsupported };

AdmissionClass adapterAdmission(const HardwareIdentity& identity);

bool isAdmitted(AdmissionClass admission);

// Whether a USB vendor and product pair is one of the qualified adapters.
bool isQualifiedUsbPair(std::uint16_t vendor, std::uint16_t product);

// The text that names an admission class in diagnostics; an adapter with no identity at
// all is "Provider metadata unavailable".
std::string_view admissionDescription(const std::optional<HardwareIdentity>& identity);

}  // namespace sorvanta
