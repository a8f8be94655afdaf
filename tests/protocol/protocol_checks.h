#pragma once

// Helpers for the tests of the codecs and validators of received data.

#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "protocol/protocol_failure.h"
#include "protocol_samples.h"

namespace sorvanta::checks {

using Bytes = std::vector<std::uint8_t>;

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline const std::optional<ProtocolFailure> passes;
inline const std::optional<ProtocolFailure> malformed = ProtocolFailure::malformed;

// The ProtocolFailure `action` throws, or none when it returns normally.
template <class Action>
std::optional<ProtocolFailure> failureOf(Action&& action) {
    try {
        action();
    } catch (const ProtocolFailure& failure) {
        return failure;
    }
    return std::nullopt;
}

// What `validate` of a control message or a test message (with `minimumSeconds`) throws.
template <class Message, class... Arguments>
std::optional<ProtocolFailure> validation(const Message& m, Arguments... arguments) {
    return failureOf([&] { m.validate(arguments...); });
}

// Gives an absent optional field `value`, and takes a present one away.
template <class T>
void toggle(std::optional<T>& field, std::type_identity_t<T> value) {
    field = field ? std::nullopt : std::optional<T>(std::move(value));
}

}  // namespace sorvanta::checks
