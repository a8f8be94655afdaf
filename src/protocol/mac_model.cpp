#include "protocol/mac_model.h"

namespace sorvanta {
namespace {

constexpr std::size_t shortestIdentifier = 3;
constexpr std::size_t longestIdentifier = 32;
// The value plus its terminating NUL must fit 64 bytes.
constexpr std::size_t longestValue = 63;

bool isAsciiLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool isAsciiDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

bool MacModel::isValidIdentifier(std::optional<std::string_view> candidate) {
    if (!candidate) {
        return false;
    }
    const std::string_view text = *candidate;
    if (text.size() < shortestIdentifier || text.size() > longestIdentifier) {
        return false;
    }
    // Letters+, digits+, ",", digits+, then the end of the text: an explicit scan, so
    // nothing after the last digit (a line break included) can slip through.
    std::size_t i = 0;
    auto run = [&](auto accepts) {
        const std::size_t start = i;
        while (i < text.size() && accepts(text[i])) {
            ++i;
        }
        return i > start;
    };
    if (!run(isAsciiLetter) || !run(isAsciiDigit)) {
        return false;
    }
    if (i == text.size() || text[i] != ',') {
        return false;
    }
    ++i;
    return run(isAsciiDigit) && i == text.size();
}

std::optional<std::string> MacModel::fromProductName(std::string_view contents) {
    if (!contents.empty() && contents.back() == '\n') {
        contents.remove_suffix(1);
    }
    if (contents.size() > longestValue) {
        return std::nullopt;
    }
    const std::string_view value = contents.substr(0, contents.find('\0'));
    if (value.empty() || !isValidIdentifier(value)) {
        return std::nullopt;
    }
    return std::string(value);
}

}  // namespace sorvanta
