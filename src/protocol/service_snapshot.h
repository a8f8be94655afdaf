#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/adapter_profile.h"
#include "protocol/connection_state.h"
#include "protocol/local_network_state.h"
#include "protocol/peer.h"
#include "protocol/previous_result.h"
#include "protocol/probe_status.h"
#include "protocol/result_context.h"
#include "protocol/speed_snapshot.h"
#include "protocol/wired_interface.h"

namespace sorvanta {

// The network service's published state. The service is its only writer; every publication
// hands out a copy with `revision` one higher (wrapping). No equality and no coding.
// A default-constructed snapshot is the initial one.
struct ServiceSnapshot {
    static constexpr std::string_view initialStatus =
        "Connect two Macs with Ethernet. Wi-Fi can stay on.";
    static constexpr std::string_view initialDiagnostics = "No connection path verified.";
    static constexpr std::string_view initialProbeResult = "No probe sent.";

    SpeedSnapshot speed;
    std::optional<ResultContext> resultContext;
    std::optional<PreviousResult> previousResult;
    std::uint64_t revision = 0;
    // The inventory's wired adapters that the network path also reports, in inventory order.
    std::vector<WiredInterface> interfaces;
    // Every wired adapter the hardware inventory found, in inventory order.
    std::vector<WiredInterface> detectedInterfaces;
    // An adapter is present but not yet usable as a wired interface.
    bool adapterAttaching = false;
    // The interface index discovery is pinned to.
    std::optional<int> selectedIndex;
    // The inventory entry of the interface on which discovery was last started.
    std::optional<WiredInterface> intendedInterface;
    std::vector<Peer> peers;
    std::optional<std::string> activePeerName;
    std::optional<std::string> activePeerModel;
    std::optional<AdapterProfile> activePeerAdapter;
    bool localLowPower = false;
    // Absent while the other Mac has not said.
    std::optional<bool> activePeerLowPower;
    // Absent until a control connection's path has been examined.
    std::optional<bool> directLink;
    // The name of the peer a connection problem concerns.
    std::optional<std::string> connectionIssuePeer;
    ConnectionState state = ConnectionState::idle;
    LocalNetworkState permission = LocalNetworkState::undetermined;
    std::string status{initialStatus};
    std::string diagnostics{initialDiagnostics};
    std::string probeResult{initialProbeResult};
    ProbeStatus probeStatus = ProbeStatus::none;

    static ServiceSnapshot initial() { return {}; }
};

}  // namespace sorvanta
