#pragma once

#include <optional>
#include <vector>

#include "protocol/connection_state.h"
#include "support/uuid.h"

namespace sorvanta {

// Which of the control channels to one peer survives once a handshake completes. When both
// Macs dial at once, the channel dialled by the Mac whose identifier text sorts first wins:
// that Mac refuses the other's dial while its own is still in the handshake.
struct ElectionCandidate {
    Uuid channel;
    bool initiator = false;
    std::optional<Uuid> expectedPeer;
    ConnectionState state = ConnectionState::connecting;
};

enum class ElectionOutcome {
    noIdentity,      // the peer's identity is unknown: treated as a lost election
    anotherActive,   // "Another peer is already connected."
    yieldToOwnDial,  // "Waiting for the elected peer connection."
    win,
};

ElectionOutcome electChannel(const ElectionCandidate& channel, const Uuid& localID,
                             const std::optional<Uuid>& remoteID,
                             const std::optional<Uuid>& activeChannel,
                             const std::vector<ElectionCandidate>& others);

}  // namespace sorvanta
