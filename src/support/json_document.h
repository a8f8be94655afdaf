#pragma once

#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <string_view>

namespace sorvanta::json {

using Value = nlohmann::json;

// Received JSON that does not decode into the expected record. The protocol layer turns
// it into its own "malformed" failure.
struct DecodeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// One of our own values cannot be written as JSON (a non-finite number, text that is
// not UTF-8). Callers see it; nothing is silently dropped.
struct EncodeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Deepest nesting of arrays and objects accepted from the network.
inline constexpr int maximumDepth = 64;

// Strict parse: one JSON value and nothing after it (whitespace aside), valid UTF-8,
// no duplicate key within one object, nesting at most `maximumDepth` levels.
Value parse(std::string_view text);

// Compact text of a value; throws EncodeError for strings that are not valid UTF-8.
std::string dump(const Value& value);

// Appends exactly the text `dump` writes for the finite number `value`.
void appendNumber(std::string& out, double value);

}  // namespace sorvanta::json
