#pragma once

#include <unicode/uchar.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sorvanta {

// Decodes the Unicode scalar starting at `offset` of UTF-8 `text`. Returns the scalar and
// stores the offset just past it in `next`; returns nothing when `offset` is at the end or
// the bytes there are not well-formed UTF-8 (overlong forms, surrogates, values above
// U+10FFFF, stray continuation bytes, a sequence cut short). Never reads past the end.
std::optional<char32_t> decodeUtf8Scalar(std::string_view text, std::size_t offset,
                                         std::size_t& next);

// Calls `visit(scalar)` for each scalar from first to last, without allocating, while it
// returns true. The result is true when every byte was walked: false when the text is not
// well-formed UTF-8 or `visit` stopped the walk.
template <typename Visit>
bool forEachUnicodeScalar(std::string_view text, Visit&& visit) {
    std::size_t offset = 0;
    while (offset < text.size()) {
        std::size_t next = 0;
        const std::optional<char32_t> scalar = decodeUtf8Scalar(text, offset, next);
        if (!scalar || !visit(*scalar)) {
            return false;
        }
        offset = next;
    }
    return true;
}

bool isValidUtf8(std::string_view text);

// The scalars of the text, or nothing when it is not well-formed UTF-8.
std::optional<std::vector<char32_t>> unicodeScalars(std::string_view text);

// Appends the UTF-8 form of a scalar (surrogates and values above U+10FFFF are not scalars
// and append U+FFFD).
void appendUtf8(std::string& out, char32_t scalar);

// Length limits of text count UTF-8 bytes.
inline std::size_t utf8ByteLength(std::string_view text) {
    return text.size();
}

// The Unicode general category of a scalar, from ICU's character properties.
UCharCategory generalCategory(char32_t scalar);

// True for the categories text from a peer must not hold: line separator (Zl), paragraph
// separator (Zp), control (Cc) and format (Cf).
bool isControlFormatOrLineSeparator(char32_t scalar);

// Extended grapheme clusters (user-perceived characters) of the text, as consecutive
// pieces that join back into it; nothing when the text is not well-formed UTF-8.
std::optional<std::vector<std::string>> graphemeClusters(std::string_view text);
std::optional<std::size_t> graphemeClusterCount(std::string_view text);

}  // namespace sorvanta
