#include "protocol/canonical_control_reader.h"

#include <array>
#include <charconv>
#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace sorvanta {

namespace {

// Integer literals longer than this are left to the strict decoder, so that no overflow
// rule of the JSON layer has to be repeated here.
constexpr int maximumDigits = 18;

class Cursor {
  public:
    explicit Cursor(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

    bool atEnd() const { return p_ == end_; }

    bool eat(char c) {
        if (p_ < end_ && *p_ == c) {
            ++p_;
            return true;
        }
        return false;
    }

    bool literal(std::string_view word) {
        if (static_cast<std::size_t>(end_ - p_) < word.size() ||
            std::string_view(p_, word.size()) != word) {
            return false;
        }
        p_ += word.size();
        return true;
    }

    // A string of printable ASCII without escapes; anything else is left to the strict
    // decoder, which also checks the encoding of the text.
    std::optional<std::string_view> string() {
        if (!eat('"')) {
            return std::nullopt;
        }
        const char* start = p_;
        for (; p_ < end_; ++p_) {
            const auto c = static_cast<unsigned char>(*p_);
            if (c == '"') {
                std::string_view text(start, static_cast<std::size_t>(p_ - start));
                ++p_;
                return text;
            }
            if (c < 0x20 || c > 0x7e || c == '\\') {
                return std::nullopt;
            }
        }
        return std::nullopt;
    }

    // A JSON number literal: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?. `whole` is set
    // to its value when it has neither fraction nor exponent (and at most 18 digits).
    struct Number {
        std::string_view text;
        std::optional<std::int64_t> whole;
    };
    std::optional<Number> number() {
        const char* start = p_;
        const bool negative = eat('-');
        if (!digit()) {
            return std::nullopt;
        }
        std::int64_t value = 0;
        int digits = 0;
        if (*p_ == '0') {
            ++p_;
            digits = 1;
        } else {
            for (; digit(); ++p_) {
                if (++digits <= maximumDigits) {
                    value = value * 10 + (*p_ - '0');
                }
            }
        }
        bool fraction = false;
        if (eat('.')) {
            fraction = true;
            if (!digits1()) {
                return std::nullopt;
            }
        }
        if (eat('e') || eat('E')) {
            fraction = true;
            if (!eat('+')) {
                eat('-');
            }
            if (!digits1()) {
                return std::nullopt;
            }
        }
        if (digit()) {
            return std::nullopt;  // a leading zero followed by more digits
        }
        Number n{std::string_view(start, static_cast<std::size_t>(p_ - start)), std::nullopt};
        if (!fraction && digits <= maximumDigits) {
            n.whole = negative ? -value : value;
        }
        return n;
    }

  private:
    bool digit() const { return p_ < end_ && *p_ >= '0' && *p_ <= '9'; }
    bool digits1() {
        if (!digit()) {
            return false;
        }
        while (digit()) {
            ++p_;
        }
        return true;
    }

    const char* p_;
    const char* end_;
};

bool readInt64(Cursor& c, std::int64_t& out) {
    auto n = c.number();
    if (!n || !n->whole) {
        return false;
    }
    out = *n->whole;
    return true;
}

// A whole literal converts as the JSON layer converts an integer; any other is read with
// correct rounding, as the JSON layer reads it. Values out of range are left to the strict
// decoder.
bool readDouble(Cursor& c, double& out) {
    auto n = c.number();
    if (!n) {
        return false;
    }
    if (n->whole) {
        out = static_cast<double>(*n->whole);
        return true;
    }
    const char* first = n->text.data();
    const char* last = first + n->text.size();
    double value = 0;
    auto [end, error] = std::from_chars(first, last, value, std::chars_format::general);
    if (error != std::errc() || end != last || !std::isfinite(value)) {
        return false;
    }
    out = value;
    return true;
}

bool readBool(Cursor& c, bool& out) {
    if (c.literal("true")) {
        out = true;
        return true;
    }
    if (c.literal("false")) {
        out = false;
        return true;
    }
    return false;
}

bool readUuid(Cursor& c, Uuid& out) {
    auto text = c.string();
    if (!text) {
        return false;
    }
    auto id = Uuid::parse(*text);
    if (!id) {
        return false;
    }
    out = *id;
    return true;
}

template <json::NamedEnum E>
bool readEnum(Cursor& c, E& out) {
    auto text = c.string();
    if (!text) {
        return false;
    }
    auto value = json::enumFromName<E>(*text);
    if (!value) {
        return false;
    }
    out = *value;
    return true;
}

bool readText(Cursor& c, std::string& out) {
    auto text = c.string();
    if (!text) {
        return false;
    }
    out.assign(*text);
    return true;
}

template <std::integral T>
bool readInteger(Cursor& c, T& out) {
    std::int64_t value = 0;
    if (!readInt64(c, value)) {
        return false;
    }
    if constexpr (std::is_unsigned_v<T>) {
        if (value < 0 || static_cast<std::uint64_t>(value) > std::numeric_limits<T>::max()) {
            return false;
        }
    } else {
        if (value < std::numeric_limits<T>::min() || value > std::numeric_limits<T>::max()) {
            return false;
        }
    }
    out = static_cast<T>(value);
    return true;
}

template <class T>
struct IsVector : std::false_type {};
template <class T>
struct IsVector<std::vector<T>> : std::true_type {};

template <class T>
bool readValue(Cursor& c, T& out);

template <class T>
bool readArray(Cursor& c, std::vector<T>& out) {
    if (!c.eat('[')) {
        return false;
    }
    if (c.eat(']')) {
        return true;
    }
    do {
        if (!readValue(c, out.emplace_back())) {
            return false;
        }
    } while (c.eat(','));
    return c.eat(']');
}

// Reads one object of a listed record whose keys are all among its fields, each at most
// once and in the order the encoder writes them, with every required field present. The
// fields are walked at compile time in that order: each either matches the key at hand or
// is missing.
template <FieldListed T>
bool readRecord(Cursor& c, T& out) {
    static constexpr auto fields = T::fields();
    static constexpr auto order = fieldsInWrittenOrder<T>();
    if (!c.eat('{')) {
        return false;
    }
    bool closed = c.eat('}');
    std::string_view key;
    if (!closed) {
        auto first = c.string();
        if (!first) {
            return false;
        }
        key = *first;
    }
    const auto step = [&]<std::size_t I>() {
        constexpr const auto& field = std::get<order[I]>(fields);
        auto& member = out.*field.member;
        using Member = std::remove_cvref_t<decltype(member)>;
        if (closed || key != field.key) {
            return IsOptionalMember<Member>::value;
        }
        bool read = false;
        if constexpr (IsOptionalMember<Member>::value) {
            read = c.eat(':') && readValue(c, member.emplace());
        } else {
            read = c.eat(':') && readValue(c, member);
        }
        if (!read) {
            return false;
        }
        if (c.eat(',')) {
            auto next = c.string();
            key = next.value_or(std::string_view{});
            return next.has_value();
        }
        closed = c.eat('}');
        return closed;
    };
    const auto walk = [&]<std::size_t... I>(std::index_sequence<I...>) {
        return (step.template operator()<I>() && ...);
    };
    const bool read = walk(std::make_index_sequence<fieldCount<T>>{});
    // Not closed: a key left over is unknown, repeated or out of order.
    return read && closed;
}

// The kinds of value the quick reader knows; any other (Base64 bytes, records that read
// themselves) leaves the body to the strict decoder.
template <class T>
bool readValue(Cursor& c, T& out) {
    if constexpr (std::is_same_v<T, bool>) {
        return readBool(c, out);
    } else if constexpr (std::is_integral_v<T>) {
        return readInteger(c, out);
    } else if constexpr (std::is_same_v<T, double>) {
        return readDouble(c, out);
    } else if constexpr (std::is_same_v<T, std::string>) {
        return readText(c, out);
    } else if constexpr (std::is_same_v<T, Uuid>) {
        return readUuid(c, out);
    } else if constexpr (json::NamedEnum<T>) {
        return readEnum(c, out);
    } else if constexpr (IsVector<T>::value && !std::is_same_v<T, std::vector<std::uint8_t>>) {
        return readArray(c, out);
    } else if constexpr (FieldListed<T>) {
        return readRecord(c, out);
    } else {
        return false;
    }
}

}  // namespace

std::optional<ControlMessage> readCanonicalControl(std::string_view body) {
    Cursor c(body);
    ControlMessage message;
    if (!readRecord(c, message) || !c.atEnd()) {
        return std::nullopt;
    }
    return message;
}

}  // namespace sorvanta
