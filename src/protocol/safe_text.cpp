#include "protocol/safe_text.h"

#include "support/unicode_text.h"

namespace sorvanta {

bool isSafeText(std::string_view text) {
    std::size_t offset = 0;
    while (offset < text.size()) {
        std::size_t next = offset;
        const auto scalar = decodeUtf8Scalar(text, offset, next);
        if (!scalar) {
            // An ill-formed byte reads as U+FFFD (a symbol), which is safe; resume after it.
            ++offset;
            continue;
        }
        if (isControlFormatOrLineSeparator(*scalar)) {
            return false;
        }
        offset = next;
    }
    return true;
}

}  // namespace sorvanta
