#include "assessment/text/peer_text.h"

#include "support/unicode_text.h"

namespace sorvanta {

std::string cleanPeerText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t offset = 0;
    while (offset < text.size()) {
        std::size_t next = offset;
        const auto scalar = decodeUtf8Scalar(text, offset, next);
        if (!scalar) {
            appendUtf8(out, 0xFFFD);
            ++offset;
            continue;
        }
        if (!isControlFormatOrLineSeparator(*scalar)) {
            out.append(text.substr(offset, next - offset));
        }
        offset = next;
    }
    return out;
}

}  // namespace sorvanta
