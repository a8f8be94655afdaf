#pragma once

namespace sorvanta {

// The state of the control connection's path probe.
enum class ProbeStatus {
    none,  // no probe on the current connection
    checking,
    verified,  // a probe acknowledgment matched
    received,  // the other Mac's probe arrived and was answered
    interrupted,
};

}  // namespace sorvanta
