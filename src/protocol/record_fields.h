#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "support/json_codec.h"

namespace sorvanta {

// One field of a record as it travels: its key and the member that holds it. A member of
// type std::optional<V> is optional on the wire (left out when absent; missing or null
// reads as absent); any other member is required.
template <class Owner, class Member>
struct RecordField {
    std::string_view key;
    Member Owner::*member;
};

template <class Owner, class Member>
constexpr RecordField<Owner, Member> recordField(std::string_view key, Member Owner::*member) {
    return {key, member};
}

template <class T>
struct IsOptionalMember : std::false_type {};
template <class T>
struct IsOptionalMember<std::optional<T>> : std::true_type {};

// A record that lists its fields once, as `static constexpr auto fields()` returning a
// std::tuple of RecordField, in the order the strict decoder reads them: when several are
// missing or ill-typed, the first in this order is the one its error names. The strict
// decoder, the encoder and the quick reader of the frequent messages all walk this list.
template <class T>
concept FieldListed = requires {
    T::fields();
};

template <FieldListed T>
inline constexpr std::size_t fieldCount = std::tuple_size_v<decltype(T::fields())>;

// The keys of T's fields, in list order.
template <FieldListed T>
constexpr std::array<std::string_view, fieldCount<T>> fieldKeys() {
    return std::apply(
        [](const auto&... field) {
            return std::array<std::string_view, fieldCount<T>>{field.key...};
        },
        T::fields());
}

template <FieldListed T>
constexpr bool hasDistinctKeys() {
    auto keys = fieldKeys<T>();
    std::sort(keys.begin(), keys.end());
    return std::adjacent_find(keys.begin(), keys.end()) == keys.end();
}

// Positions in the list of T's fields, in the order the encoder writes their keys: sorted
// byte by byte, as the JSON layer keeps an object's keys.
template <FieldListed T>
constexpr std::array<std::size_t, fieldCount<T>> fieldsInWrittenOrder() {
    const auto keys = fieldKeys<T>();
    std::array<std::size_t, fieldCount<T>> order{};
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
    return order;
}

template <FieldListed T>
T readFields(const json::ObjectReader& r) {
    static_assert(hasDistinctKeys<T>(), "two fields of one record share a key");
    T value{};
    std::apply(
        [&](const auto&... field) {
            // A fold over the comma operator: the fields are read in list order.
            (
                [&](const auto& f) {
                    using Member = std::remove_cvref_t<decltype(value.*f.member)>;
                    if constexpr (IsOptionalMember<Member>::value) {
                        value.*f.member = r.optional<typename Member::value_type>(f.key);
                    } else {
                        value.*f.member = r.required<Member>(f.key);
                    }
                }(field),
                ...);
        },
        T::fields());
    return value;
}

template <FieldListed T>
void writeFields(const T& value, json::ObjectWriter& w) {
    static_assert(hasDistinctKeys<T>(), "two fields of one record share a key");
    std::apply([&](const auto&... field) { (w.field(field.key, value.*field.member), ...); },
               T::fields());
}

}  // namespace sorvanta
