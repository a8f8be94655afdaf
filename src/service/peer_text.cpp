#include "service/peer_text.h"

#include <vector>

#include "protocol/incomplete_status.h"
#include "support/unicode_text.h"

namespace sorvanta {

namespace {

constexpr std::size_t computerNameScalars = 32;
constexpr std::size_t maximumDetailBytes = 256;
constexpr char32_t replacement = U'\uFFFD';

template <class Visit>
void walkScalars(std::string_view text, Visit&& visit) {
    std::size_t offset = 0;
    while (offset < text.size()) {
        std::size_t next = 0;
        auto scalar = decodeUtf8Scalar(text, offset, next);
        if (!scalar) {
            visit(replacement);
            ++offset;
            continue;
        }
        visit(*scalar);
        offset = next;
    }
}

}  // namespace

std::string stripUnsafeScalars(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    walkScalars(text, [&](char32_t scalar) {
        if (!isControlFormatOrLineSeparator(scalar)) {
            appendUtf8(out, scalar);
        }
    });
    return out;
}

std::string cleanPeerText(std::string_view text, std::size_t maximumCharacters) {
    std::string cleaned = stripUnsafeScalars(text);
    auto clusters = graphemeClusters(cleaned);
    if (!clusters || clusters->size() <= maximumCharacters) {
        return cleaned;
    }
    std::string cut;
    for (std::size_t i = 0; i < maximumCharacters; ++i) {
        cut += (*clusters)[i];
    }
    return cut;
}

std::string cleanComputerName(std::string_view raw) {
    std::string out;
    std::size_t kept = 0;
    walkScalars(raw, [&](char32_t scalar) {
        if (kept < computerNameScalars && !isControlFormatOrLineSeparator(scalar)) {
            appendUtf8(out, scalar);
            ++kept;
        }
    });
    return out.empty() ? std::string("Mac") : out;
}

std::optional<std::string> cancelDetail(std::string_view status) {
    std::string cleaned = stripUnsafeScalars(withoutIncompletePrefix(status));
    if (cleaned.size() > maximumDetailBytes) {
        auto clusters = graphemeClusters(cleaned);
        std::string cut;
        if (clusters) {
            for (const auto& cluster : *clusters) {
                if (cut.size() + cluster.size() > maximumDetailBytes) {
                    break;
                }
                cut += cluster;
            }
        }
        cleaned = std::move(cut);
    }
    if (cleaned.empty()) {
        return std::nullopt;
    }
    return cleaned;
}

}  // namespace sorvanta
