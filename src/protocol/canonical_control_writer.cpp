#include "protocol/canonical_control_writer.h"

#include <charconv>
#include <cmath>
#include <concepts>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "protocol/record_fields.h"
#include "support/json_document.h"

namespace sorvanta {

namespace {

template <class T>
struct IsVector : std::false_type {};
template <class T>
struct IsVector<std::vector<T>> : std::true_type {};

template <std::integral T>
void appendInteger(std::string& out, T value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

// Text the strict encoder writes as it stands: printable ASCII with nothing to escape.
bool isPlain(std::string_view text) {
    for (const char c : text) {
        if (c < 0x20 || c > 0x7e || c == '"' || c == '\\') {
            return false;
        }
    }
    return true;
}

void appendQuoted(std::string& out, std::string_view text) {
    out += '"';
    out += text;
    out += '"';
}

template <class T>
bool appendValue(std::string& out, const T& value);

template <class T>
bool appendArray(std::string& out, const std::vector<T>& values) {
    out += '[';
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0) {
            out += ',';
        }
        if (!appendValue(out, values[i])) {
            return false;
        }
    }
    out += ']';
    return true;
}

// Writes a listed record's present fields in the order the strict encoder's objects hold
// their keys; false for any value it does not write as the strict encoder would.
template <FieldListed T>
bool appendRecord(std::string& out, const T& record) {
    static constexpr auto fields = T::fields();
    static constexpr auto order = fieldsInWrittenOrder<T>();
    bool first = true;
    out += '{';
    const auto step = [&]<std::size_t I>() {
        constexpr const auto& field = std::get<order[I]>(fields);
        const auto& member = record.*field.member;
        using Member = std::remove_cvref_t<decltype(member)>;
        if constexpr (IsOptionalMember<Member>::value) {
            if (!member) {
                return true;  // absent optionals are left out
            }
        }
        out += first ? "\"" : ",\"";
        first = false;
        out += field.key;
        out += "\":";
        if constexpr (IsOptionalMember<Member>::value) {
            return appendValue(out, *member);
        } else {
            return appendValue(out, member);
        }
    };
    const auto walk = [&]<std::size_t... I>(std::index_sequence<I...>) {
        return (step.template operator()<I>() && ...);
    };
    if (!walk(std::make_index_sequence<fieldCount<T>>{})) {
        return false;
    }
    out += '}';
    return true;
}

// The kinds of value written here; any other (Base64 bytes, records that write themselves)
// leaves the message to the strict encoder.
template <class T>
bool appendValue(std::string& out, const T& value) {
    if constexpr (std::is_same_v<T, bool>) {
        out += value ? "true" : "false";
        return true;
    } else if constexpr (std::is_integral_v<T>) {
        appendInteger(out, value);
        return true;
    } else if constexpr (std::is_same_v<T, double>) {
        if (!std::isfinite(value)) {
            return false;  // the strict encoder refuses it with its own error
        }
        json::appendNumber(out, value);
        return true;
    } else if constexpr (std::is_same_v<T, std::string>) {
        if (!isPlain(value)) {
            return false;
        }
        appendQuoted(out, value);
        return true;
    } else if constexpr (std::is_same_v<T, Uuid>) {
        appendQuoted(out, value.text());
        return true;
    } else if constexpr (json::NamedEnum<T>) {
        const auto name = json::enumName(value);
        if (name.empty()) {
            return false;
        }
        appendQuoted(out, name);
        return true;
    } else if constexpr (IsVector<T>::value && !std::is_same_v<T, std::vector<std::uint8_t>>) {
        return appendArray(out, value);
    } else if constexpr (FieldListed<T>) {
        return appendRecord(out, value);
    } else {
        return false;
    }
}

}  // namespace

std::optional<std::string> writeCanonicalControl(const ControlMessage& message) {
    std::string out;
    out.reserve(512);
    if (!appendRecord(out, message)) {
        return std::nullopt;
    }
    return out;
}

}  // namespace sorvanta
