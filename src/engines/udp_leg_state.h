#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "engines/udp_pacer.h"
#include "engines/udp_receiver.h"
#include "protocol/udp_binding.h"
#include "protocol/udp_receive_coverage.h"
#include "protocol/udp_send_summary.h"

namespace sorvanta {

// What is fixed about one probe leg when its engine is made.
struct UdpLegFacts {
    UDPBinding binding;
    // Bits per second the leg is paced against.
    double capacity = 0;
    // Planned sending seconds.
    double measuredDuration = 0;
    // This side receives the leg's datagrams.
    bool receiving = false;
};

// The accounting of one probe leg on one side, apart from the network objects that carry
// it. Times are seconds since the engine's epoch.
struct UdpLegState {
    bool begun = false;
    bool ended = false;
    // The connection reached ready on the admitted path.
    bool ready = false;
    // Receiver: the sender's readiness datagram arrived.
    bool receipt = false;
    // Sender: probe datagrams are being sent.
    bool submitting = false;
    bool sentReported = false;
    // Sender: when sending began and stopped.
    std::optional<double> started;
    std::optional<double> stopped;
    double begunAt = 0;
    UDPReceiveCoverage receiveCoverage;
    std::int64_t pendingReceives = 0;
    double lastProgressEvent = 0;
    // Sender: when the receiver's reported count last grew, and the highest count.
    double remoteProgressAt = 0;
    std::int64_t remoteCount = 0;
    std::int64_t inFlight = 0;
    // Receiver: inbound flows refused.
    std::int64_t unknown = 0;
    UDPPacer pacer;
    UDPSendSummary summary;
    UDPReceiver receiver;
    // Receiver: the sender's summary and when it came.
    std::optional<UDPSendSummary> senderSummary;
    std::optional<double> tailStart;
    std::string path = "Unavailable";
    std::string senderPath = "Unavailable";

    // Throws ProtocolFailure::malformed for a capacity the pacer refuses.
    explicit UdpLegState(const UdpLegFacts& facts) : pacer(facts.capacity) {
        receiver.planned = facts.measuredDuration;
    }
};

}  // namespace sorvanta
