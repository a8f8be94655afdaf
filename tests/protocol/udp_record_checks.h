#pragma once

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "protocol/protocol_failure.h"
#include "protocol/record_coding.h"

// Helpers shared by the tests of the probe and TCP evidence records.
namespace sorvanta::testing_support {

inline constexpr double infinity = std::numeric_limits<double>::infinity();
inline constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Whether `validate()` accepts the record; a refusal must be `malformed`.
template <class T>
bool passes(const T& record) {
    try {
        record.validate();
        return true;
    } catch (const ProtocolFailure& failure) {
        EXPECT_EQ(failure, ProtocolFailure::malformed);
        return false;
    }
}

template <class T>
void expectRoundTrip(const T& record) {
    EXPECT_EQ(decodeRecord<T>(encodeRecord(record)), record);
}

// Applies each change to a copy of `base` and expects validation to give `valid`.
template <class T>
void expectValidity(const T& base, std::vector<void (*)(T&)> changes, bool valid) {
    for (std::size_t i = 0; i < changes.size(); ++i) {
        T record = base;
        changes[i](record);
        EXPECT_EQ(passes(record), valid) << "change #" << i;
    }
}

}  // namespace sorvanta::testing_support
