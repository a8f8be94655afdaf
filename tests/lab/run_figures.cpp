#include "lab/run_figures.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace sorvanta::testing {

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n == 0 ? 0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double quantile(std::vector<double> values, double q) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto at = static_cast<std::size_t>(q * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

std::string spread(const std::vector<double>& values, double scale, const char* format,
                   bool withMedian) {
    if (values.empty()) {
        return "-";
    }
    char text[96];
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    const std::string range = std::string(format) + " – " + format;
    if (withMedian) {
        std::snprintf(text, sizeof text, (std::string(format) + " [" + range + "]").c_str(),
                      median(values) / scale, *low / scale, *high / scale);
    } else {
        std::snprintf(text, sizeof text, range.c_str(), *low / scale, *high / scale);
    }
    return text;
}

double jsonNumber(const std::string& json, const std::string& key, const std::string& field) {
    const auto at = json.find("\"" + key + "\"");
    if (at == std::string::npos) {
        return 0;
    }
    const auto value = json.find("\"" + field + "\":", at);
    return value == std::string::npos
               ? 0
               : std::strtod(json.c_str() + value + field.size() + 3, nullptr);
}

}  // namespace sorvanta::testing
