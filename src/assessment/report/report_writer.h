#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "assessment/report/styled_text.h"
#include "assessment/text/display_format.h"

namespace sorvanta {

// The building blocks of the Connection Details report: headings, label-value rows and
// paragraphs, in their styles, and the report's number forms.
class ReportWriter {
  public:
    explicit ReportWriter(const DisplayFormat& format) : format_(format) {}

    // A blank line before every heading but the first, then the title and a line break.
    void heading(std::string_view title);
    // The label and two spaces, then the value and a line break. No colon.
    void row(std::string_view label, std::string_view value);
    void paragraph(std::string_view text) { text_.append(StyledText::Style::body, text); }
    void append(StyledText::Style style, std::string_view text) { text_.append(style, text); }

    // The report's locale number: 0 to 3 fraction digits.
    std::string formatted(double value) const { return format_.number(value); }
    const DisplayFormat& format() const { return format_; }

    // The plain text of a Double, or "Unavailable".
    static std::string plainOr(const std::optional<double>& value);

    StyledText take() { return std::move(text_); }

  private:
    const DisplayFormat& format_;
    StyledText text_;
};

}  // namespace sorvanta
