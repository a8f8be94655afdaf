#include "protocol/safe_text.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cstdint>

namespace sorvanta {

bool isSafeText(std::string_view text) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<std::int32_t>(text.size());
    std::int32_t offset = 0;
    while (offset < length) {
        UChar32 scalar;
        U8_NEXT(bytes, offset, length, scalar);
        if (scalar < 0) {
            continue;  // ill-formed sequence: read as U+FFFD (So), which is safe
        }
        switch (u_charType(scalar)) {
            case U_LINE_SEPARATOR:
            case U_PARAGRAPH_SEPARATOR:
            case U_CONTROL_CHAR:
            case U_FORMAT_CHAR:
                return false;
            default:
                break;
        }
    }
    return true;
}

}  // namespace sorvanta
