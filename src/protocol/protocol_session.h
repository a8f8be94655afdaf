#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "protocol/adapter_profile.h"
#include "protocol/connection_state_machine.h"
#include "protocol/control_message.h"
#include "support/uuid.h"

namespace sorvanta {

// Who is at the other end of one control connection and how far the handshake has come.
// Every decoded control message passes through `handle`, which checks it against the
// identities and state held here and returns the reply to send, if any.
struct ProtocolSession {
    // Fixed when created.
    Uuid localID;
    std::string localName;
    // True when this Mac dialled the connection.
    bool initiator = false;
    std::optional<Uuid> expectedPeer;
    std::optional<AdapterProfile> localAdapter;

    // Changing while the connection lives.
    Uuid sessionID;
    std::optional<Uuid> remoteID;
    std::optional<std::string> remoteName;
    std::optional<AdapterProfile> remoteAdapter;
    bool localLowPower = false;
    std::optional<bool> remoteLowPower;
    ConnectionStateMachine machine;
    // A probe this Mac sent and whose acknowledgement it awaits.
    std::optional<ControlMessage> pendingProbe;

    // A new session: a fresh session identifier, state connecting, nothing known of the peer.
    ProtocolSession(Uuid localID, std::string localName, bool initiator,
                    std::optional<Uuid> expectedPeer, std::optional<AdapterProfile> localAdapter,
                    bool localLowPower);

    // Checks one received message and acts on it; returns the reply to send on the same
    // connection. Throws ProtocolFailure; a failure leaves the session unchanged.
    std::optional<ControlMessage> handle(const ControlMessage& message);

    // The text form of the SHA-256 digest of `bytes`: 64 lowercase hexadecimal characters.
    static std::string digest(std::span<const std::uint8_t> bytes);
};

}  // namespace sorvanta
