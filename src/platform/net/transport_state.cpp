#include "platform/net/transport_state.h"

namespace sorvanta {

std::string TransportState::text() const {
    switch (kind) {
        case Kind::setup:
            return "setup";
        case Kind::preparing:
            return "preparing";
        case Kind::waiting:
            return "waiting(" + error.text() + ")";
        case Kind::ready:
            return "ready";
        case Kind::failed:
            return "failed(" + error.text() + ")";
        case Kind::cancelled:
            return "cancelled";
    }
    return "setup";
}

std::string ListenerState::text() const {
    switch (kind) {
        case Kind::setup:
            return "setup";
        case Kind::waiting:
            return "waiting(" + error.text() + ")";
        case Kind::ready:
            return "ready(port " + std::to_string(port) + ")";
        case Kind::failed:
            return "failed(" + error.text() + ")";
        case Kind::cancelled:
            return "cancelled";
    }
    return "setup";
}

}  // namespace sorvanta
