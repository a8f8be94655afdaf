#include "support/unicode_text.h"

#include <unicode/brkiter.h>
#include <unicode/utext.h>

#include <cstdint>
#include <memory>

namespace sorvanta {

std::optional<char32_t> decodeUtf8Scalar(std::string_view text, std::size_t offset,
                                         std::size_t& next) {
    if (offset >= text.size()) {
        return std::nullopt;
    }
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(offset);
    if (lead < 0x80) {
        next = offset + 1;
        return lead;
    }
    // Lead byte gives the length and its payload bits; the range of the second byte is
    // narrowed where needed to refuse overlong forms (E0, F0), surrogates (ED) and values
    // above U+10FFFF (F4). C0, C1 and F5..FF never start a sequence.
    std::size_t length = 0;
    char32_t scalar = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        scalar = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        scalar = lead & 0x0F;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        scalar = lead & 0x07;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return std::nullopt;
    }
    if (text.size() - offset < length) {
        return std::nullopt;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned char continuation = byte(offset + i);
        if (continuation < low || continuation > high) {
            return std::nullopt;
        }
        low = 0x80;
        high = 0xBF;
        scalar = (scalar << 6) | (continuation & 0x3F);
    }
    next = offset + length;
    return scalar;
}

bool isValidUtf8(std::string_view text) {
    return forEachUnicodeScalar(text, [](char32_t) { return true; });
}

std::optional<std::vector<char32_t>> unicodeScalars(std::string_view text) {
    std::vector<char32_t> scalars;
    const bool valid = forEachUnicodeScalar(text, [&](char32_t scalar) {
        scalars.push_back(scalar);
        return true;
    });
    if (!valid) {
        return std::nullopt;
    }
    return scalars;
}

void appendUtf8(std::string& out, char32_t scalar) {
    if (scalar > 0x10FFFF || (scalar >= 0xD800 && scalar <= 0xDFFF)) {
        scalar = 0xFFFD;
    }
    const auto put = [&](char32_t bits) { out += static_cast<char>(bits); };
    if (scalar < 0x80) {
        put(scalar);
    } else if (scalar < 0x800) {
        put(0xC0 | (scalar >> 6));
        put(0x80 | (scalar & 0x3F));
    } else if (scalar < 0x10000) {
        put(0xE0 | (scalar >> 12));
        put(0x80 | ((scalar >> 6) & 0x3F));
        put(0x80 | (scalar & 0x3F));
    } else {
        put(0xF0 | (scalar >> 18));
        put(0x80 | ((scalar >> 12) & 0x3F));
        put(0x80 | ((scalar >> 6) & 0x3F));
        put(0x80 | (scalar & 0x3F));
    }
}

UCharCategory generalCategory(char32_t scalar) {
    return static_cast<UCharCategory>(u_charType(static_cast<UChar32>(scalar)));
}

bool isControlFormatOrLineSeparator(char32_t scalar) {
    switch (generalCategory(scalar)) {
        case U_LINE_SEPARATOR:
        case U_PARAGRAPH_SEPARATOR:
        case U_CONTROL_CHAR:
        case U_FORMAT_CHAR:
            return true;
        default:
            return false;
    }
}

namespace {

// Calls `piece(begin, end)` with the byte range of each extended grapheme cluster.
template <typename Piece>
bool forEachGraphemeCluster(std::string_view text, Piece&& piece) {
    // ICU reports boundaries as 32-bit offsets.
    if (text.size() > static_cast<std::size_t>(INT32_MAX) || !isValidUtf8(text)) {
        return false;
    }
    UErrorCode status = U_ZERO_ERROR;
    // Building a break iterator loads rule data; keep one per thread and only rebind text.
    thread_local std::unique_ptr<icu::BreakIterator> iterator(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (!iterator || U_FAILURE(status)) {
        return false;
    }
    UText* utext = utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
    std::unique_ptr<UText, decltype(&utext_close)> closer(utext, &utext_close);
    iterator->setText(utext, status);
    if (U_FAILURE(status)) {
        return false;
    }
    // Boundaries of a UTF-8 UText are byte offsets into the text.
    std::int32_t begin = iterator->first();
    for (std::int32_t end = iterator->next(); end != icu::BreakIterator::DONE;
         end = iterator->next()) {
        piece(static_cast<std::size_t>(begin), static_cast<std::size_t>(end));
        begin = end;
    }
    return true;
}

}  // namespace

std::optional<std::vector<std::string>> graphemeClusters(std::string_view text) {
    std::vector<std::string> clusters;
    const bool valid = forEachGraphemeCluster(text, [&](std::size_t begin, std::size_t end) {
        clusters.emplace_back(text.substr(begin, end - begin));
    });
    if (!valid) {
        return std::nullopt;
    }
    return clusters;
}

std::optional<std::size_t> graphemeClusterCount(std::string_view text) {
    std::size_t count = 0;
    if (!forEachGraphemeCluster(text, [&](std::size_t, std::size_t) { ++count; })) {
        return std::nullopt;
    }
    return count;
}

}  // namespace sorvanta
