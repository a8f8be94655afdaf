#pragma once

#include <chrono>
#include <concepts>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace sorvanta {

// The one place that turns numbers and dates into the text a person reads. Locale-aware
// forms follow ICU's rules for the locale the formatter was made for (half-even rounding
// on the shortest decimal form of a value); the locale-free forms are fixed.
class DisplayFormat {
  public:
    using TimePoint = std::chrono::system_clock::time_point;

    // `locale` is an ICU locale name ("en_US", "de_DE"); `timeZone` an Olson identifier.
    // An empty time zone means the system's default one.
    explicit DisplayFormat(std::string_view locale, std::string_view timeZone = {});
    ~DisplayFormat();
    DisplayFormat(const DisplayFormat&) = delete;
    DisplayFormat& operator=(const DisplayFormat&) = delete;

    // The formatter of the user's default locale and time zone, made once.
    static const DisplayFormat& current();

    // A rate in bits per second with its unit: "Gbps" from 1,000,000,000 up and "Mbps"
    // below, chosen on the unrounded value; 0 to 2 fraction digits with the locale's
    // grouping ("941.23 Mbps", "1,000 Mbps", "2,35 Gbps").
    std::string rateText(double bitsPerSecond) const;

    // The main window's rate text: as rateText, but whole numbers in "Mbps" ("1,000 Mbps").
    std::string windowRateText(double bitsPerSecond) const;

    // The number of a rate figure without its unit: billions with 0 to 2 fraction digits
    // when `gigabits`, else whole millions.
    std::string rateFigure(double bitsPerSecond, bool gigabits) const;

    // A report number: 0 to 3 fraction digits with the locale's grouping.
    std::string number(double value) const;

    // An integer with the locale's grouping ("1,000,000,000").
    std::string groupedInteger(std::uint64_t value) const;

    // Abbreviated date with shortened time ("Dec 7, 2026, 1:00 PM").
    std::string abbreviatedDateTime(TimePoint time) const;

    // Numeric date with shortened time ("12/7/2026, 1:00 PM").
    std::string dateTime(TimePoint time) const;

    // An integer in plain decimal digits, no grouping.
    template <std::integral Integer>
    static std::string decimal(Integer value) {
        return std::to_string(value);
    }

    // A Double's default text: the shortest digits that read back to the same value,
    // always with a fraction part ("0.0", "2.5", "1000000000.0"); exponent form below
    // 0.0001 and above 2^53 in magnitude ("1e-05", "1.5e+16"); "inf", "-inf", "nan".
    static std::string plain(double value);

  private:
    struct Formatters;
    std::unique_ptr<Formatters> formatters_;
};

}  // namespace sorvanta
