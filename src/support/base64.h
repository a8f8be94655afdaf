#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sorvanta {

// Standard Base64 alphabet (A-Z a-z 0-9 + /) with '=' padding.
std::string base64Encode(std::span<const std::uint8_t> bytes);

// Strict decoding: only the canonical encoding of some byte string is accepted. Refused:
// whitespace, the URL-safe or any other alphabet, missing or surplus padding, padding
// anywhere but at the end, a length that is not a multiple of four, and non-zero unused
// bits in the last group (which would let two texts stand for the same bytes).
std::optional<std::vector<std::uint8_t>> base64Decode(std::string_view text);

}  // namespace sorvanta
