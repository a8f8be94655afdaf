#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "protocol/protocol_failure.h"
#include "protocol/udp_binding.h"

namespace sorvanta::udp_datagram {

// A probe datagram: the leg's identity prefix (with the kind at byte 5), a big-endian
// sequence number, the big-endian bit pattern of the send time as a double, zero fill.
inline constexpr std::size_t size = 1200;
inline constexpr std::size_t prefixSize = UDPBinding::prefixBytes;
inline constexpr std::size_t kindOffset = 5;
inline constexpr std::size_t sequenceOffset = 103;
inline constexpr std::size_t timeOffset = 107;
inline constexpr std::size_t headerSize = 115;
inline constexpr std::uint8_t readinessKind = 0;
inline constexpr std::uint8_t probeKind = 1;
inline constexpr std::uint32_t maximumSequence = 2'999'999;
inline constexpr double maximumSendTime = 1e9;

struct Parsed {
    std::uint32_t sequence = 0;
    bool probe = false;
    double sendTime = 0;
    bool operator==(const Parsed&) const = default;
};

// The parse of one datagram, or the case of the failure that refused it.
struct Outcome {
    std::optional<Parsed> datagram;
    ProtocolFailure::Case failure = ProtocolFailure::Case::malformed;
};

// Checks `datagram` against the leg's `prefix` in place, without allocating. The identity
// bytes are compared in constant time: a datagram of another leg, run or token is refused
// after the same work as a matching one. Never throws.
Outcome check(std::span<const std::uint8_t> datagram,
              std::span<const std::uint8_t> prefix) noexcept;

// The same check, throwing the refusal as a ProtocolFailure.
Parsed parse(std::span<const std::uint8_t> datagram, std::span<const std::uint8_t> prefix);

// Writes the header of a datagram into `buffer` (at least `headerSize` bytes): the prefix,
// then kind, sequence and send time. The bytes after the header are left as they are.
void writeHeader(std::span<std::uint8_t> buffer, std::span<const std::uint8_t> prefix,
                 std::uint8_t kind, std::uint32_t sequence, double sendTime) noexcept;

}  // namespace sorvanta::udp_datagram
