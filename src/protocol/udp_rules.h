#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/protocol_failure.h"
#include "protocol/safe_text.h"

// Small checks shared by the validators of the UDP probe records.
namespace sorvanta::udp_rules {

inline void require(bool rule) {
    if (!rule) {
        throw ProtocolFailure::malformed;
    }
}

// Finite and within 0 … maximum: NaN fails every comparison, negative zero passes.
inline bool isWithin(double value, double maximum) {
    return value >= 0 && value <= maximum;
}

inline bool isWithin(const std::optional<double>& value, double maximum) {
    return !value || isWithin(*value, maximum);
}

inline bool isFiniteNonNegative(double value) {
    return std::isfinite(value) && value >= 0;
}

inline bool isCountWithin(std::int64_t count, std::int64_t maximum) {
    return count >= 0 && count <= maximum;
}

// Length limits of text count UTF-8 bytes.
inline bool isBoundedSafeText(std::string_view text, std::size_t maximumBytes) {
    return text.size() <= maximumBytes && isSafeText(text);
}

inline bool isAbsentOrBoundedSafeText(const std::optional<std::string>& text,
                                      std::size_t maximumBytes) {
    return !text || isBoundedSafeText(*text, maximumBytes);
}

// Counters that the engine bumps never overflow, however long a leg runs.
inline void increment(std::int64_t& count) {
    if (count < std::numeric_limits<std::int64_t>::max()) {
        ++count;
    }
}

// The rate offered by `accepted` datagrams of `datagramBytes` over `seconds`, in bits per
// second, formed in double precision; +∞ when `seconds` is not a positive finite number.
inline double offeredBitsPerSecond(std::int64_t accepted, std::int64_t datagramBytes,
                                   double seconds) {
    if (!std::isfinite(seconds) || !(seconds > 0)) {
        return std::numeric_limits<double>::infinity();
    }
    return static_cast<double>(accepted) * static_cast<double>(datagramBytes) * 8.0 / seconds;
}

// Runs a validator for a judgement, which never throws.
template <class Validate>
bool passes(Validate&& validate) noexcept {
    try {
        validate();
        return true;
    } catch (const ProtocolFailure&) {
        return false;
    }
}

}  // namespace sorvanta::udp_rules
