#include "engines/udp_datagram.h"

#include <bit>
#include <cmath>
#include <cstring>

namespace sorvanta::udp_datagram {

namespace {

Outcome refuse(ProtocolFailure::Case failure) noexcept {
    return {std::nullopt, failure};
}

std::uint64_t readBigEndian(const std::uint8_t* bytes, std::size_t count) noexcept {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

void writeBigEndian(std::uint8_t* bytes, std::uint64_t value, std::size_t count) noexcept {
    for (std::size_t i = count; i-- > 0;) {
        bytes[i] = static_cast<std::uint8_t>(value);
        value >>= 8;
    }
}

}  // namespace

Outcome check(std::span<const std::uint8_t> datagram,
              std::span<const std::uint8_t> prefix) noexcept {
    using Case = ProtocolFailure::Case;
    if (datagram.size() != size || prefix.size() != prefixSize) {
        return refuse(Case::invalidLength);
    }
    const std::uint8_t kind = datagram[kindOffset];
    if (kind > probeKind) {
        return refuse(Case::invalidLength);
    }
    // Every identity byte but the kind takes part; no early exit.
    std::uint8_t difference = 0;
    for (std::size_t i = 0; i < kindOffset; ++i) {
        difference |= static_cast<std::uint8_t>(datagram[i] ^ prefix[i]);
    }
    for (std::size_t i = kindOffset + 1; i < prefixSize; ++i) {
        difference |= static_cast<std::uint8_t>(datagram[i] ^ prefix[i]);
    }
    if (difference != 0) {
        return refuse(Case::identityChanged);
    }
    const auto sequence = static_cast<std::uint32_t>(readBigEndian(&datagram[sequenceOffset], 4));
    const double sendTime = std::bit_cast<double>(readBigEndian(&datagram[timeOffset], 8));
    // NaN fails the first comparison; -0.0 passes the last.
    if (sequence > maximumSequence || !(sendTime <= maximumSendTime) || !std::isfinite(sendTime) ||
        sendTime < 0) {
        return refuse(Case::malformed);
    }
    if (kind == readinessKind && sequence != 0) {
        return refuse(Case::malformed);
    }
    return {Parsed{sequence, kind == probeKind, sendTime}, Case::malformed};
}

Parsed parse(std::span<const std::uint8_t> datagram, std::span<const std::uint8_t> prefix) {
    const auto outcome = check(datagram, prefix);
    if (!outcome.datagram) {
        throw ProtocolFailure(outcome.failure);
    }
    return *outcome.datagram;
}

void writeHeader(std::span<std::uint8_t> buffer, std::span<const std::uint8_t> prefix,
                 std::uint8_t kind, std::uint32_t sequence, double sendTime) noexcept {
    if (buffer.size() < headerSize || prefix.size() != prefixSize) {
        return;
    }
    std::memcpy(buffer.data(), prefix.data(), prefixSize);
    buffer[kindOffset] = kind;
    writeBigEndian(&buffer[sequenceOffset], sequence, 4);
    writeBigEndian(&buffer[timeOffset], std::bit_cast<std::uint64_t>(sendTime), 8);
}

}  // namespace sorvanta::udp_datagram
