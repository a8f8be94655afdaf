#include "assessment/text/display_format.h"

#include <unicode/dtptngen.h>
#include <unicode/locid.h>
#include <unicode/numberformatter.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace sorvanta {
namespace {

using icu::number::LocalizedNumberFormatter;
using icu::number::NumberFormatter;
using icu::number::Precision;

constexpr double gigabit = 1'000'000'000;
constexpr double megabit = 1'000'000;
// A Double prints in exponent form above this magnitude: integers up to it are exact.
constexpr double largestPlainMagnitude = 9007199254740992.0;  // 2^53

std::string utf8(const icu::UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

std::string format(const LocalizedNumberFormatter& formatter, double value) {
    UErrorCode status = U_ZERO_ERROR;
    const auto formatted = formatter.formatDouble(value, status);
    return U_FAILURE(status) ? DisplayFormat::plain(value) : utf8(formatted.toString(status));
}

icu::UnicodeString bestPattern(icu::DateTimePatternGenerator* generator, const char* skeleton) {
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString pattern =
        generator ? generator->getBestPattern(icu::UnicodeString(skeleton), status)
                  : icu::UnicodeString();
    return U_FAILURE(status) || pattern.isEmpty() ? icu::UnicodeString(u"y-MM-dd HH:mm") : pattern;
}

}  // namespace

struct DisplayFormat::Formatters {
    icu::Locale locale;
    LocalizedNumberFormatter rate;
    LocalizedNumberFormatter number;
    LocalizedNumberFormatter integer;
    std::unique_ptr<icu::TimeZone> zone;
    icu::UnicodeString abbreviatedPattern;
    icu::UnicodeString numericPattern;

    std::string date(const icu::UnicodeString& pattern, TimePoint time) const {
        UErrorCode status = U_ZERO_ERROR;
        icu::SimpleDateFormat formatter(pattern, locale, status);
        if (U_FAILURE(status)) {
            return "Unavailable";
        }
        formatter.setTimeZone(*zone);
        const auto millis =
            std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch());
        icu::UnicodeString out;
        formatter.format(static_cast<UDate>(millis.count()), out);
        return utf8(out);
    }
};

DisplayFormat::DisplayFormat(std::string_view locale, std::string_view timeZone)
    : formatters_(std::make_unique<Formatters>()) {
    auto& f = *formatters_;
    f.locale = icu::Locale(std::string(locale).c_str());
    f.rate = NumberFormatter::withLocale(f.locale).precision(Precision::minMaxFraction(0, 2));
    f.number = NumberFormatter::withLocale(f.locale).precision(Precision::minMaxFraction(0, 3));
    f.integer = NumberFormatter::withLocale(f.locale).precision(Precision::integer());
    f.zone.reset(timeZone.empty() ? icu::TimeZone::createDefault()
                                  : icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(
                                        icu::StringPiece(timeZone.data(), timeZone.size()))));
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::DateTimePatternGenerator> generator(
        icu::DateTimePatternGenerator::createInstance(f.locale, status));
    if (U_FAILURE(status)) {
        generator.reset();
    }
    f.abbreviatedPattern = bestPattern(generator.get(), "yMMMdjmm");
    f.numericPattern = bestPattern(generator.get(), "yMdjmm");
}

DisplayFormat::~DisplayFormat() = default;

const DisplayFormat& DisplayFormat::current() {
    static const DisplayFormat format(icu::Locale::getDefault().getName());
    return format;
}

std::string DisplayFormat::rateText(double bitsPerSecond) const {
    if (bitsPerSecond >= gigabit) {
        return format(formatters_->rate, bitsPerSecond / gigabit) + " Gbps";
    }
    return format(formatters_->rate, bitsPerSecond / megabit) + " Mbps";
}

std::string DisplayFormat::windowRateText(double bitsPerSecond) const {
    const bool gigabits = bitsPerSecond >= gigabit;
    return rateFigure(bitsPerSecond, gigabits) + (gigabits ? " Gbps" : " Mbps");
}

std::string DisplayFormat::rateFigure(double bitsPerSecond, bool gigabits) const {
    return gigabits ? format(formatters_->rate, bitsPerSecond / gigabit)
                    : format(formatters_->integer, bitsPerSecond / megabit);
}

std::string DisplayFormat::number(double value) const {
    return format(formatters_->number, value);
}

std::string DisplayFormat::groupedInteger(std::uint64_t value) const {
    UErrorCode status = U_ZERO_ERROR;
    const std::string digits = std::to_string(value);
    const auto formatted = formatters_->integer.formatDecimal(digits, status);
    return U_FAILURE(status) ? digits : utf8(formatted.toString(status));
}

std::string DisplayFormat::abbreviatedDateTime(TimePoint time) const {
    return formatters_->date(formatters_->abbreviatedPattern, time);
}

std::string DisplayFormat::dateTime(TimePoint time) const {
    return formatters_->date(formatters_->numericPattern, time);
}

std::string DisplayFormat::plain(double value) {
    if (std::isnan(value)) {
        return "nan";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-inf" : "inf";
    }
    const std::string sign = std::signbit(value) ? "-" : "";
    if (value == 0) {
        return sign + "0.0";
    }
    // The shortest round-trip digits, as d.ddde±x.
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(value),
                                      std::chars_format::scientific);
    const std::string_view scientific(buffer, static_cast<std::size_t>(result.ptr - buffer));
    const auto e = scientific.find('e');
    std::string digits;
    for (char c : scientific.substr(0, e)) {
        if (c != '.') {
            digits += c;
        }
    }
    const int exponent = std::atoi(std::string(scientific.substr(e + 1)).c_str());
    const auto count = static_cast<int>(digits.size());

    if (exponent < -4 || std::fabs(value) > largestPlainMagnitude) {
        std::string out = sign + digits.substr(0, 1);
        if (count > 1) {
            out += "." + digits.substr(1);
        }
        const int magnitude = std::abs(exponent);
        out += exponent < 0 ? "e-" : "e+";
        out += (magnitude < 10 ? "0" : "") + std::to_string(magnitude);
        return out;
    }
    if (exponent < 0) {
        return sign + "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
    }
    const int integerDigits = exponent + 1;
    if (integerDigits >= count) {
        return sign + digits + std::string(static_cast<std::size_t>(integerDigits - count), '0') +
               ".0";
    }
    return sign + digits.substr(0, static_cast<std::size_t>(integerDigits)) + "." +
           digits.substr(static_cast<std::size_t>(integerDigits));
}

}  // namespace sorvanta
