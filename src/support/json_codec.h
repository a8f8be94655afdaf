#pragma once

#include <array>
#include <cmath>
#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "support/json_document.h"
#include "support/uuid.h"

namespace sorvanta::json {

// Typed conversion between C++ values and JSON. Specialised below for scalars, UUIDs,
// enumerations (through EnumNames), vectors and records (types with fromJson/toJson).
template <class T>
struct Codec;

// An enumeration travels as the exact name of its case. Specialise with
//   static constexpr std::array<std::string_view, N> names{...};
// listing the case names in ordinal order (ordinals 0 … N-1).
template <class E>
struct EnumNames;

template <class E>
concept NamedEnum = std::is_enum_v<E> && requires {
    EnumNames<E>::names;
};

template <NamedEnum E>
constexpr std::string_view enumName(E value) {
    auto index = static_cast<std::size_t>(value);
    return index < EnumNames<E>::names.size() ? EnumNames<E>::names[index] : std::string_view{};
}

// Exact, case-sensitive lookup of a case by its name.
template <NamedEnum E>
constexpr std::optional<E> enumFromName(std::string_view name) {
    const auto& names = EnumNames<E>::names;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i] == name) {
            return static_cast<E>(i);
        }
    }
    return std::nullopt;
}

class ObjectReader;
class ObjectWriter;

// A record reads itself from an object and writes its fields into one.
template <class T>
concept Record = requires(const ObjectReader& reader, const T& value, ObjectWriter& writer) {
    { T::fromJson(reader) } -> std::same_as<T>;
    value.toJson(writer);
};

// Reads the fields of one JSON object: a missing or ill-typed required key fails, a
// missing or null optional key reads as absent, unknown keys are ignored.
class ObjectReader {
  public:
    explicit ObjectReader(const Value& value) : value_(value) {
        if (!value.is_object()) {
            throw DecodeError("expected an object");
        }
    }

    template <class T>
    T required(std::string_view key) const {
        auto found = value_.find(key);
        if (found == value_.end()) {
            throw DecodeError("missing key \"" + std::string(key) + "\"");
        }
        return decodeField<T>(key, *found);
    }

    template <class T>
    std::optional<T> optional(std::string_view key) const {
        auto found = value_.find(key);
        if (found == value_.end() || found->is_null()) {
            return std::nullopt;
        }
        return decodeField<T>(key, *found);
    }

    bool contains(std::string_view key) const { return value_.contains(key); }

  private:
    template <class T>
    static T decodeField(std::string_view key, const Value& field) {
        try {
            return Codec<T>::decode(field);
        } catch (const DecodeError& error) {
            throw DecodeError("key \"" + std::string(key) + "\": " + error.what());
        }
    }

    const Value& value_;
};

// Writes the fields of one JSON object; absent optionals are left out.
class ObjectWriter {
  public:
    template <class T>
    void field(std::string_view key, const T& value) {
        value_[std::string(key)] = Codec<T>::encode(value);
    }

    template <class T>
    void field(std::string_view key, const std::optional<T>& value) {
        if (value) {
            field(key, *value);
        }
    }

    Value take() { return std::move(value_); }

  private:
    Value value_ = Value::object();
};

template <>
struct Codec<bool> {
    static bool decode(const Value& value) {
        if (!value.is_boolean()) {
            throw DecodeError("expected a Boolean");
        }
        return value.get<bool>();
    }
    static Value encode(bool value) { return value; }
};

// Integers must be written as integer literals that fit the C++ type; 1.0 and 1e3 are
// refused, as are values out of range.
template <std::integral T>
requires(!std::same_as<T, bool>) struct Codec<T> {
    static T decode(const Value& value) {
        if (value.is_number_unsigned()) {
            auto v = value.get<std::uint64_t>();
            if (v > static_cast<std::uint64_t>(std::numeric_limits<T>::max())) {
                throw DecodeError("integer out of range");
            }
            return static_cast<T>(v);
        }
        if (value.is_number_integer()) {
            auto v = value.get<std::int64_t>();
            if constexpr (std::is_unsigned_v<T>) {
                if (v < 0) {
                    throw DecodeError("integer out of range");
                }
                if (static_cast<std::uint64_t>(v) > std::numeric_limits<T>::max()) {
                    throw DecodeError("integer out of range");
                }
            } else {
                if (v < std::numeric_limits<T>::min() || v > std::numeric_limits<T>::max()) {
                    throw DecodeError("integer out of range");
                }
            }
            return static_cast<T>(v);
        }
        throw DecodeError("expected an integer");
    }
    static Value encode(T value) { return value; }
};

// A double accepts integer literals too. Non-finite values cannot be written.
template <>
struct Codec<double> {
    static double decode(const Value& value) {
        if (value.is_number_float()) {
            return value.get<double>();
        }
        if (value.is_number_unsigned()) {
            return static_cast<double>(value.get<std::uint64_t>());
        }
        if (value.is_number_integer()) {
            return static_cast<double>(value.get<std::int64_t>());
        }
        throw DecodeError("expected a number");
    }
    static Value encode(double value) {
        if (!std::isfinite(value)) {
            throw EncodeError("a non-finite number cannot be written as JSON");
        }
        return value;
    }
};

template <>
struct Codec<std::string> {
    static std::string decode(const Value& value) {
        if (!value.is_string()) {
            throw DecodeError("expected a string");
        }
        return value.get<std::string>();
    }
    static Value encode(const std::string& value) { return value; }
};

template <>
struct Codec<Uuid> {
    static Uuid decode(const Value& value) {
        auto id = Uuid::parse(Codec<std::string>::decode(value));
        if (!id) {
            throw DecodeError("expected a UUID");
        }
        return *id;
    }
    static Value encode(const Uuid& value) { return value.text(); }
};

template <NamedEnum E>
struct Codec<E> {
    static E decode(const Value& value) {
        if (!value.is_string()) {
            throw DecodeError("expected a case name");
        }
        auto found = enumFromName<E>(value.get_ref<const std::string&>());
        if (!found) {
            throw DecodeError("unknown case \"" + value.get<std::string>() + "\"");
        }
        return *found;
    }
    static Value encode(E value) {
        auto name = enumName(value);
        if (name.empty()) {
            throw EncodeError("enumeration value without a name");
        }
        return std::string(name);
    }
};

// Byte buffers are not arrays of numbers: they travel as Base64 (see json_bytes.h).
template <class T>
requires(!std::same_as<T, std::uint8_t>) struct Codec<std::vector<T>> {
    static std::vector<T> decode(const Value& value) {
        if (!value.is_array()) {
            throw DecodeError("expected an array");
        }
        std::vector<T> out;
        out.reserve(value.size());
        for (const auto& element : value) {
            out.push_back(Codec<T>::decode(element));
        }
        return out;
    }
    static Value encode(const std::vector<T>& values) {
        Value out = Value::array();
        for (const auto& element : values) {
            out.push_back(Codec<T>::encode(element));
        }
        return out;
    }
};

template <Record T>
struct Codec<T> {
    static T decode(const Value& value) { return T::fromJson(ObjectReader(value)); }
    static Value encode(const T& value) {
        ObjectWriter writer;
        value.toJson(writer);
        return writer.take();
    }
};

// Parses text strictly and decodes it as T; throws DecodeError.
template <class T>
T decode(std::string_view text) {
    return Codec<T>::decode(parse(text));
}

// Encodes T as compact JSON text; throws EncodeError.
template <class T>
std::string encode(const T& value) {
    return dump(Codec<T>::encode(value));
}

}  // namespace sorvanta::json
