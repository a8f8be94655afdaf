#include "platform/system/admission_class.h"

namespace sorvanta {

bool isQualifiedUsbPair(std::uint16_t vendor, std::uint16_t product) {
    return (vendor == 0x0B95 && product == 0x1790) || (vendor == 0x0BDA && product == 0x8153);
}

AdmissionClass adapterAdmission(const HardwareIdentity& identity) {
    switch (identity.bus) {
        case HardwareIdentity::Bus::pci:
            return AdmissionClass::pciProvider;
        case HardwareIdentity::Bus::usb:
            if (identity.usbVendor && identity.usbProduct &&
                isQualifiedUsbPair(*identity.usbVendor, *identity.usbProduct)) {
                return AdmissionClass::qualifiedUSB;
            }
            return AdmissionClass::unqualifiedUSB;
        case HardwareIdentity::Bus::other:
            break;
    }
    return AdmissionClass::unsupported;
}

bool isAdmitted(AdmissionClass admission) {
    return admission == AdmissionClass::pciProvider || admission == AdmissionClass::qualifiedUSB;
}

std::string_view admissionDescription(const std::optional<HardwareIdentity>& identity) {
    if (!identity) {
        return "Provider metadata unavailable";
    }
    switch (adapterAdmission(*identity)) {
        case AdmissionClass::pciProvider:
            return "PCI Ethernet provider";
        case AdmissionClass::qualifiedUSB:
            return "Qualified USB Ethernet adapter";
        case AdmissionClass::unqualifiedUSB:
            return "USB network device not qualified as physical Ethernet";
        case AdmissionClass::unsupported:
            break;
    }
    return "Not a supported physical Ethernet provider";
}

}  // namespace sorvanta
