#include "platform/dnssd/dnssd_state.h"

namespace sorvanta {

std::string DnssdState::text() const {
    switch (kind) {
        case Kind::setup:
            return "setup";
        case Kind::ready:
            return "ready";
        case Kind::waiting:
            return "waiting(" + error.text() + ")";
        case Kind::failed:
            return "failed(" + error.text() + ")";
        case Kind::cancelled:
            return "cancelled";
    }
    return "unknown";
}

}  // namespace sorvanta
