// Decodes and validates a control message from arbitrary bytes, then hands it to a session
// in each handshake position. Only ProtocolFailure may escape; a message that passes must
// encode again and decode to an equal message.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "protocol/control_message.h"
#include "protocol/protocol_failure.h"
#include "protocol/protocol_session.h"
#include "protocol/record_coding.h"

using namespace sorvanta;

namespace {

void handle(ProtocolSession session, const ControlMessage& message) {
    std::optional<ControlMessage> reply;
    try {
        reply = session.handle(message);
    } catch (const ProtocolFailure&) {
        return;
    }
    if (reply) {
        try {
            reply->validate();  // our own replies are always valid
        } catch (const ProtocolFailure&) {
            std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    ControlMessage message;
    try {
        message = decodeRecord<ControlMessage>(text);
        message.validate();
    } catch (const ProtocolFailure&) {
        return 0;
    }
    if (decodeRecord<ControlMessage>(encodeRecord(message)) != message) {
        std::abort();
    }
    static const Uuid local = Uuid::random();
    ProtocolSession answering(local, "Fuzz", false, std::nullopt, std::nullopt, false);
    handle(answering, message);
    ProtocolSession dialling(local, "Fuzz", true, std::nullopt, std::nullopt, true);
    dialling.sessionID = message.session;
    handle(dialling, message);
    ProtocolSession ready = answering;
    ready.machine.state = ConnectionState::ready;
    ready.sessionID = message.session;
    handle(ready, message);
    return 0;
}
