#include "assessment/report/report_writer.h"

namespace sorvanta {

void ReportWriter::heading(std::string_view title) {
    if (!text_.empty()) {
        text_.append(StyledText::Style::body, "\n\n");
    }
    text_.append(StyledText::Style::heading, std::string(title) + "\n");
}

void ReportWriter::row(std::string_view label, std::string_view value) {
    text_.append(StyledText::Style::rowLabel, std::string(label) + "  ");
    text_.append(StyledText::Style::body, std::string(value) + "\n");
}

std::string ReportWriter::plainOr(const std::optional<double>& value) {
    return value ? DisplayFormat::plain(*value) : "Unavailable";
}

}  // namespace sorvanta
