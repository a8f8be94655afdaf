#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <limits>
#include <type_traits>
#include <vector>

#include "protocol/protocol_failure.h"
#include "protocol/record_coding.h"

// Helpers shared by the tests of the records and their validators.
namespace sorvanta::testing_support {

inline constexpr double infinity = std::numeric_limits<double>::infinity();
inline constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Whether `check` returns; a refusal must be `malformed`.
template <class Check>
bool passesCheck(Check&& check) {
    try {
        check();
        return true;
    } catch (const ProtocolFailure& failure) {
        EXPECT_EQ(failure, ProtocolFailure::malformed);
        return false;
    }
}

template <class T>
bool passes(const T& record) {
    return passesCheck([&] { record.validate(); });
}

template <class T>
void expectRoundTrip(const T& record) {
    EXPECT_EQ(decodeRecord<T>(encodeRecord(record)), record);
}

// Applies each change to a copy of `base` and expects `validate` to accept it or not.
template <class T, class Validate>
void expectValidity(const T& base, const std::vector<void (*)(T&)>& changes, bool valid,
                    Validate validate) {
    for (std::size_t i = 0; i < changes.size(); ++i) {
        T record = base;
        changes[i](record);
        EXPECT_EQ(passesCheck([&] { validate(record); }), valid) << "change #" << i;
    }
}

template <class T>
void expectValidity(const T& base, const std::vector<void (*)(T&)>& changes, bool valid) {
    expectValidity(base, changes, valid, [](const T& record) { record.validate(); });
}

// Sets one field of a copy of `base` to each value: `validate` must accept every value of
// `good` and refuse every value of `bad`.
template <class T, class F, class Validate>
void expectBounds(const T& base, F T::*field, const std::vector<std::type_identity_t<F>>& good,
                  const std::vector<std::type_identity_t<F>>& bad, Validate validate) {
    for (std::size_t i = 0; i < good.size() + bad.size(); ++i) {
        T record = base;
        record.*field = i < good.size() ? good[i] : bad[i - good.size()];
        EXPECT_EQ(passesCheck([&] { validate(record); }), i < good.size()) << "value #" << i;
    }
}

template <class T, class F>
void expectBounds(const T& base, F T::*field, const std::vector<std::type_identity_t<F>>& good,
                  const std::vector<std::type_identity_t<F>>& bad) {
    expectBounds(base, field, good, bad, [](const T& record) { record.validate(); });
}

}  // namespace sorvanta::testing_support
