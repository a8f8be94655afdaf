#include "protocol/control_frame_codec.h"

#include <string>

#include "protocol/control_message.h"
#include "protocol/record_coding.h"

namespace sorvanta {

std::vector<ControlMessage> ControlFrameCodec::append(std::span<const std::uint8_t> chunk) {
    std::vector<ControlMessage> messages;
    reassemble(chunk, [&](std::span<const std::uint8_t> body) {
        auto message = decodeRecord<ControlMessage>(
            std::string_view(reinterpret_cast<const char*>(body.data()), body.size()));
        message.validate();
        messages.push_back(std::move(message));
    });
    return messages;
}

std::vector<std::uint8_t> ControlFrameCodec::encode(const ControlMessage& message) {
    message.validate();
    return frame(encodeRecord(message));
}

}  // namespace sorvanta
