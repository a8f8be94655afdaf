#include "protocol/canonical_control_reader.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

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

// Reads one object whose keys are all among `keys` (given in the encoder's sorted order),
// each at most once and in that order; `field(i)` reads the value of `keys[i]`. False for
// anything else.
template <std::size_t N, class Field>
bool readObject(Cursor& c, const std::array<std::string_view, N>& keys, Field&& field) {
    if (!c.eat('{')) {
        return false;
    }
    if (c.eat('}')) {
        return true;
    }
    std::size_t next = 0;
    do {
        auto key = c.string();
        if (!key) {
            return false;
        }
        std::size_t i = next;
        while (i < N && keys[i] != *key) {
            ++i;
        }
        if (i == N || !c.eat(':') || !field(i)) {
            return false;
        }
        next = i + 1;
    } while (c.eat(','));
    return c.eat('}');
}

bool readInt64(Cursor& c, std::int64_t& out) {
    auto n = c.number();
    if (!n || !n->whole) {
        return false;
    }
    out = *n->whole;
    return true;
}

bool readUInt64(Cursor& c, std::uint64_t& out) {
    std::int64_t value = 0;
    if (!readInt64(c, value) || value < 0) {
        return false;
    }
    out = static_cast<std::uint64_t>(value);
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

bool readInterval(Cursor& c, ThroughputInterval& out) {
    static constexpr std::array<std::string_view, 3> keys{"bytes", "end", "start"};
    unsigned seen = 0;
    const bool read = readObject(c, keys, [&](std::size_t i) {
        seen |= 1u << i;
        switch (i) {
            case 0:
                return readUInt64(c, out.bytes);
            case 1:
                return readDouble(c, out.end);
            default:
                return readDouble(c, out.start);
        }
    });
    return read && seen == 0b111;
}

bool readIntervals(Cursor& c, std::vector<ThroughputInterval>& out) {
    if (!c.eat('[')) {
        return false;
    }
    if (c.eat(']')) {
        return true;
    }
    do {
        ThroughputInterval interval;
        if (!readInterval(c, interval)) {
            return false;
        }
        out.push_back(interval);
    } while (c.eat(','));
    return c.eat(']');
}

bool readSample(Cursor& c, SpeedSample& out) {
    static constexpr std::array<std::string_view, 6> keys{
        "bytes", "intervals", "measuring", "rollingBps", "seconds", "seriesReason"};
    unsigned seen = 0;
    const bool read = readObject(c, keys, [&](std::size_t i) {
        seen |= 1u << i;
        switch (i) {
            case 0:
                return readUInt64(c, out.bytes);
            case 1:
                return readIntervals(c, out.intervals);
            case 2:
                return readBool(c, out.measuring);
            case 3:
                return readDouble(c, out.rollingBps.emplace());
            case 4:
                return readDouble(c, out.seconds);
            default: {
                auto text = c.string();
                if (text) {
                    out.seriesReason.emplace(*text);
                }
                return text.has_value();
            }
        }
    });
    constexpr unsigned required = 0b010111;  // bytes, intervals, measuring, seconds
    return read && (seen & required) == required;
}

bool readSpeed(Cursor& c, SpeedMessage& out) {
    static constexpr std::array<std::string_view, 9> keys{
        "kind",   "measurementMilliseconds", "profile", "run", "sample", "sender",
        "stage",  "streams",                 "warmupMilliseconds"};
    unsigned seen = 0;
    const bool read = readObject(c, keys, [&](std::size_t i) {
        seen |= 1u << i;
        switch (i) {
            case 0:
                return readEnum(c, out.kind);
            case 1:
                return readInt64(c, out.measurementMilliseconds);
            case 2:
                return readEnum(c, out.profile);
            case 3:
                return readUuid(c, out.run);
            case 4:
                return readSample(c, out.sample.emplace());
            case 5:
                return readUuid(c, out.sender);
            case 6:
                return readInt64(c, out.stage);
            case 7:
                return readInt64(c, out.streams);
            default:
                return readInt64(c, out.warmupMilliseconds);
        }
    });
    constexpr unsigned required = 0b111101111;  // all but the sample
    return read && (seen & required) == required;
}

}  // namespace

std::optional<ControlMessage> readCanonicalControl(std::string_view body) {
    static constexpr std::array<std::string_view, 5> keys{"instance", "kind", "session", "speed",
                                                          "version"};
    Cursor c(body);
    ControlMessage message;
    unsigned seen = 0;
    const bool read = readObject(c, keys, [&](std::size_t i) {
        seen |= 1u << i;
        switch (i) {
            case 0:
                return readUuid(c, message.instance);
            case 1:
                return readEnum(c, message.kind);
            case 2:
                return readUuid(c, message.session);
            case 3:
                return readSpeed(c, message.speed.emplace());
            default:
                return readInt64(c, message.version);
        }
    });
    constexpr unsigned required = 0b10111;  // all but the test message
    if (!read || (seen & required) != required || !c.atEnd()) {
        return std::nullopt;
    }
    return message;
}

}  // namespace sorvanta
