#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "protocol/control_message.h"
#include "protocol/protocol_failure.h"

namespace sorvanta {

// Frames control messages for the control connection and reassembles received bytes, which
// arrive in arbitrary chunks, into validated messages. A frame is a 4-byte big-endian body
// length of 1 to 65,536 followed by that many bytes of the message's JSON. One codec per
// control connection; a plain value, used from one executor.
class ControlFrameCodec {
  public:
    static constexpr std::size_t lengthFieldBytes = 4;
    static constexpr std::uint32_t maximumBody = 65'536;
    // The largest frame, and the largest chunk `append` takes.
    static constexpr std::size_t maximumChunk = lengthFieldBytes + maximumBody;

    // Feeds one received chunk and returns the messages whose frames it completed, in stream
    // order. Throws ProtocolFailure: invalidLength for a chunk over 65,540 bytes (nothing is
    // buffered) or a length field of 0 or over 65,536; malformed for a body that does not
    // decode as a ControlMessage; the message's own validation failure unchanged. On a throw
    // the messages already completed from the chunk are lost with it and the connection is
    // to be closed.
    std::vector<ControlMessage> append(std::span<const std::uint8_t> chunk);

    // The peer closed the stream: throws ProtocolFailure::malformed when part of a frame is left.
    void finish() const {
        if (hasPendingData()) {
            throw ProtocolFailure::malformed;
        }
    }

    // A frame has begun but not ended.
    bool hasPendingData() const { return !buffer_.empty() || expectedBody_.has_value(); }

    // Validates the message and returns its complete frame. Throws the validation's
    // ProtocolFailure, json::EncodeError for a value that cannot be written, and
    // ProtocolFailure::invalidLength when the JSON is empty or over 65,536 bytes.
    static std::vector<std::uint8_t> encode(const ControlMessage& message);

    // The byte level of `encode`: the length field followed by `body`. Throws
    // ProtocolFailure::invalidLength for an empty body or one over 65,536 bytes.
    static std::vector<std::uint8_t> frame(std::string_view body);

    // The byte level of `append`: splits the chunk into frame bodies and hands each complete
    // body to `onBody` (a span that is valid during the call) as soon as it ends, with the
    // same bounds and failures. A throw from `onBody` leaves the body buffered.
    template <class OnBody>
    void reassemble(std::span<const std::uint8_t> chunk, OnBody&& onBody);

  private:
    // The bytes of the current step not yet used: at most 4 of a length field, or at most
    // `*expectedBody_` of a body.
    std::vector<std::uint8_t> buffer_;
    // The declared length of the body being collected; absent while collecting a length field.
    std::optional<std::uint32_t> expectedBody_;
};

inline std::vector<std::uint8_t> ControlFrameCodec::frame(std::string_view body) {
    if (body.empty() || body.size() > maximumBody) {
        throw ProtocolFailure::invalidLength;
    }
    auto length = static_cast<std::uint32_t>(body.size());
    std::vector<std::uint8_t> bytes;
    bytes.reserve(lengthFieldBytes + body.size());
    for (int shift = 24; shift >= 0; shift -= 8) {
        bytes.push_back(static_cast<std::uint8_t>(length >> shift));
    }
    bytes.insert(bytes.end(), body.begin(), body.end());
    return bytes;
}

template <class OnBody>
void ControlFrameCodec::reassemble(std::span<const std::uint8_t> chunk, OnBody&& onBody) {
    if (chunk.size() > maximumChunk) {
        throw ProtocolFailure::invalidLength;
    }
    std::size_t position = 0;
    while (position < chunk.size()) {
        std::size_t needed = expectedBody_ ? *expectedBody_ : lengthFieldBytes;
        std::size_t take = std::min(needed - buffer_.size(), chunk.size() - position);
        buffer_.insert(buffer_.end(), chunk.begin() + static_cast<std::ptrdiff_t>(position),
                       chunk.begin() + static_cast<std::ptrdiff_t>(position + take));
        position += take;
        if (buffer_.size() < needed) {
            continue;
        }
        if (!expectedBody_) {
            std::uint32_t length = (std::uint32_t{buffer_[0]} << 24) |
                                   (std::uint32_t{buffer_[1]} << 16) |
                                   (std::uint32_t{buffer_[2]} << 8) | std::uint32_t{buffer_[3]};
            if (length == 0 || length > maximumBody) {
                throw ProtocolFailure::invalidLength;
            }
            expectedBody_ = length;
            buffer_.clear();
            // Room for the whole body at once (at most 65,536 bytes), so that each received
            // byte is copied only once, not again as the buffer grows.
            buffer_.reserve(length);
        } else {
            onBody(std::span<const std::uint8_t>(buffer_));
            expectedBody_.reset();
            buffer_.clear();
        }
    }
}

}  // namespace sorvanta
