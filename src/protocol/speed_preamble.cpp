#include "protocol/speed_preamble.h"

#include <algorithm>

#include "protocol/protocol_failure.h"

namespace sorvanta {

namespace {

constexpr std::array<std::uint8_t, 5> magicAndVersion{'S', 'V', 'D', '5', 0x05};

// Visits every position whatever the contents, so the time taken does not reveal where the
// first difference lies. Both spans hold SpeedPreamble::size bytes.
bool equalInConstantTime(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    std::uint8_t difference = 0;
    for (std::size_t i = 0; i < SpeedPreamble::size; ++i) {
        difference |= static_cast<std::uint8_t>(a[i] ^ b[i]);
    }
    return difference == 0;
}

}  // namespace

std::vector<std::uint8_t> SpeedPreamble::encoded() const {
    std::vector<std::uint8_t> bytes(size - tokenSize + token.size());
    auto out = std::copy(magicAndVersion.begin(), magicAndVersion.end(), bytes.begin());
    for (const Uuid* id : {&run, &session, &sender}) {
        out = std::copy(id->bytes().begin(), id->bytes().end(), out);
    }
    out = std::copy(token.begin(), token.end(), out);
    *out++ = 0x00;
    *out = stage;
    return bytes;
}

std::span<const std::uint8_t> SpeedPreambleDecoder::consume(std::span<const std::uint8_t> chunk,
                                                            const SpeedPreamble& expected) {
    if (chunk.size() > maximumChunk) {
        throw ProtocolFailure::invalidLength;
    }
    if (expected.token.size() != SpeedPreamble::tokenSize) {
        throw ProtocolFailure::invalidLength;
    }
    if (complete_) {
        return chunk;
    }
    std::size_t take = std::min(SpeedPreamble::size - headerLength_, chunk.size());
    std::copy_n(chunk.begin(), take, header_.begin() + static_cast<std::ptrdiff_t>(headerLength_));
    headerLength_ += take;
    if (headerLength_ < SpeedPreamble::size) {
        return {};
    }
    // After a mismatch the header stays full, so each later call lands here and compares again.
    if (!equalInConstantTime(header_, expected.encoded())) {
        throw ProtocolFailure::identityChanged;
    }
    complete_ = true;
    headerLength_ = 0;
    return chunk.subspan(take);
}

}  // namespace sorvanta
