#pragma once

#include <cstdint>
#include <vector>

#include "support/base64.h"
#include "support/json_codec.h"

namespace sorvanta::json {

// A byte buffer travels as one standard Base64 string with padding. Decoding is strict:
// only the canonical encoding of some byte string is accepted.
template <>
struct Codec<std::vector<std::uint8_t>> {
    static std::vector<std::uint8_t> decode(const Value& value) {
        if (!value.is_string()) {
            throw DecodeError("expected a Base64 string");
        }
        auto bytes = base64Decode(value.get_ref<const std::string&>());
        if (!bytes) {
            throw DecodeError("not canonical Base64");
        }
        return std::move(*bytes);
    }
    static Value encode(const std::vector<std::uint8_t>& bytes) { return base64Encode(bytes); }
};

}  // namespace sorvanta::json
