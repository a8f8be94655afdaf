#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "support/uuid.h"

namespace sorvanta {

// The first bytes written on every TCP data connection of a run. They bind the connection to
// one run, one control session, one sending (or opening) Mac, one token and one stage, so
// the accepting side can refuse a connection that belongs to anything else.
//
// Layout, 87 bytes: "SVD5", version 0x05, run, session and sender as 16 raw bytes each,
// the 32-byte token, 0x00, the stage byte.
struct SpeedPreamble {
    static constexpr std::size_t size = 87;
    static constexpr std::size_t tokenSize = 32;
    // The stage byte of a disposable check connection.
    static constexpr std::uint8_t checkStage = 255;

    Uuid run;
    Uuid session;
    Uuid sender;
    std::vector<std::uint8_t> token;
    std::uint8_t stage = 0;

    // The bytes of the layout, in field order. The token is appended whole without a length
    // check; with a 32-byte token the result is exactly `size` bytes.
    std::vector<std::uint8_t> encoded() const;

    bool operator==(const SpeedPreamble&) const = default;
};

// Collects the preamble at the start of a received data connection and compares it with the
// expected one. One per data connection, changed in place.
class SpeedPreambleDecoder {
  public:
    // The largest chunk a single call accepts.
    static constexpr std::size_t maximumChunk = 131'072;

    // Feeds one received chunk. Returns the bytes of the chunk that follow the preamble (a view
    // into `chunk`, empty until the preamble is complete; the whole chunk once it is).
    // Throws ProtocolFailure::invalidLength for a chunk over `maximumChunk` bytes or an
    // expected token that is not 32 bytes (the decoder is then unchanged), and
    // ProtocolFailure::identityChanged when the 87 bytes differ from the expected preamble
    // anywhere. A mismatch is final: every later call throws identityChanged again.
    std::span<const std::uint8_t> consume(std::span<const std::uint8_t> chunk,
                                          const SpeedPreamble& expected);

    // The preamble bytes received so far (0 to 87); empty once the preamble has matched.
    std::span<const std::uint8_t> header() const { return {header_.data(), headerLength_}; }
    // True once all 87 bytes have been received and matched.
    bool complete() const { return complete_; }

  private:
    std::array<std::uint8_t, SpeedPreamble::size> header_{};
    std::size_t headerLength_ = 0;
    bool complete_ = false;
};

}  // namespace sorvanta
