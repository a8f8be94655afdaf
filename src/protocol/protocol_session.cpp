#include "protocol/protocol_session.h"

#include <utility>

#include "protocol/protocol_failure.h"
#include "support/sha256.h"

namespace sorvanta {

namespace {
using Kind = ControlMessage::Kind;
}  // namespace

ProtocolSession::ProtocolSession(Uuid localID, std::string localName, bool initiator,
                                 std::optional<Uuid> expectedPeer,
                                 std::optional<AdapterProfile> localAdapter, bool localLowPower)
    : localID(localID),
      localName(std::move(localName)),
      initiator(initiator),
      expectedPeer(expectedPeer),
      localAdapter(std::move(localAdapter)),
      sessionID(Uuid::random()),
      localLowPower(localLowPower) {}

std::string ProtocolSession::digest(std::span<const std::uint8_t> bytes) {
    return sha256Hex(bytes);
}

std::optional<ControlMessage> ProtocolSession::handle(const ControlMessage& message) {
    // Every check comes before the first change, so a failure leaves the session as it was.
    message.validate();
    if (message.instance == localID) {
        throw ProtocolFailure::selfConnection;
    }
    if (expectedPeer && *expectedPeer != message.instance) {
        throw ProtocolFailure::identityChanged;
    }
    if (remoteID && *remoteID != message.instance) {
        throw ProtocolFailure::identityChanged;
    }

    if (machine.state == ConnectionState::connecting) {
        const Kind expected = initiator ? Kind::helloAck : Kind::hello;
        if (message.kind != expected) {
            throw ProtocolFailure::unexpectedMessage;
        }
        if (initiator && message.session != sessionID) {
            throw ProtocolFailure::identityChanged;
        }
        std::optional<ControlMessage> reply;
        if (!initiator) {
            ControlMessage ack;
            ack.version = ControlMessage::protocolVersion;
            ack.kind = Kind::helloAck;
            ack.session = message.session;
            ack.instance = localID;
            ack.name = localName;
            ack.adapter = localAdapter;
            ack.lowPower = localLowPower;
            reply = std::move(ack);
        }
        // Commit: nothing below can fail.
        sessionID = message.session;
        remoteID = message.instance;
        remoteName = message.name;
        remoteAdapter = message.adapter;
        remoteLowPower = message.lowPower;
        machine.state = ConnectionState::ready;
        return reply;
    }

    if (message.session != sessionID) {
        throw ProtocolFailure::identityChanged;
    }
    if (machine.state != ConnectionState::ready && machine.state != ConnectionState::probing) {
        throw ProtocolFailure::unexpectedMessage;
    }
    switch (message.kind) {
        case Kind::hello:
        case Kind::helloAck:
        case Kind::error:
            throw ProtocolFailure::unexpectedMessage;
        case Kind::probe: {
            if (!message.payload) {
                throw ProtocolFailure::malformed;
            }
            ControlMessage ack;
            ack.version = ControlMessage::protocolVersion;
            ack.kind = Kind::probeAck;
            ack.session = sessionID;
            ack.instance = localID;
            ack.nonce = message.nonce;
            ack.length = static_cast<std::int64_t>(message.payload->size());
            ack.digest = digest(*message.payload);
            return ack;
        }
        case Kind::probeAck: {
            if (!pendingProbe || !pendingProbe->payload || message.nonce != pendingProbe->nonce) {
                throw ProtocolFailure::badProbe;
            }
            const auto& pendingPayload = *pendingProbe->payload;
            if (!message.length ||
                *message.length != static_cast<std::int64_t>(pendingPayload.size())) {
                throw ProtocolFailure::badProbe;
            }
            if (!message.digest || *message.digest != digest(pendingPayload)) {
                throw ProtocolFailure::badProbe;
            }
            pendingProbe.reset();
            machine.state = ConnectionState::ready;
            return std::nullopt;
        }
        case Kind::speed:
            return std::nullopt;
        case Kind::power:
            remoteLowPower = message.lowPower;
            return std::nullopt;
    }
    throw ProtocolFailure::unexpectedMessage;
}

}  // namespace sorvanta
