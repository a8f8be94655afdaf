#include "assessment/report/styled_text.h"

namespace sorvanta {

void StyledText::append(Style style, std::string_view text) {
    if (text.empty()) {
        return;
    }
    if (!runs.empty() && runs.back().style == style) {
        runs.back().text.append(text);
        return;
    }
    runs.push_back({style, std::string(text)});
}

bool StyledText::empty() const {
    return runs.empty();
}

std::string StyledText::plainText() const {
    std::string plain;
    for (const auto& run : runs) {
        plain += run.text;
    }
    return plain;
}

}  // namespace sorvanta
