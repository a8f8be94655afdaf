#pragma once

#include <asio/ip/address.hpp>
#include <optional>

#include "engines/receiver_meter.h"
#include "platform/net/network_interface.h"
#include "protocol/speed_preamble.h"

namespace sorvanta {

// How one TCP data engine is built: a disposable check connection or one direction of a
// throughput stage. The sequencer fills it and the engine keeps it as given.
struct BulkTransferSettings {
    // The pinned wired interface; the engine refuses to start without one.
    std::optional<NetworkInterface> interface;
    asio::ip::address peerHost;
    // The side that listens: not the sender of the direction, not the owner of the check.
    bool receiving = false;
    SpeedPreamble preamble;
    bool verificationOnly = false;
    // Set for stage directions, on the engine and its receiver meter.
    bool barrierControlled = false;
    // The receiver's warm-up and measured interval; shorter only in tests and benches.
    double warmup = ReceiverMeter::defaultWarmup;
    double measurement = ReceiverMeter::defaultDuration;
};

}  // namespace sorvanta
