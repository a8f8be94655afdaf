#pragma once

#include <optional>
#include <string_view>

#include "protocol/control_message.h"

namespace sorvanta {

// A quick reader for the control messages a run exchanges several times a second (test
// messages with or without a sample), in the one form this program writes them: compact
// JSON, each object's keys in the order the encoder sorts them, text in plain printable
// ASCII. It walks the same field lists as the strict decoder (record_fields.h) and answers
// only for a body wholly in that form whose values are all of kinds it reads (numbers,
// Booleans, text, identifiers, case names, arrays and listed records; not Base64 bytes nor
// records that read themselves); for any other body it returns nothing and the strict
// decoder reads it. So it never refuses a body on its own, and what it returns equals what
// the strict decoder returns for the same body. The message is not validated here.
std::optional<ControlMessage> readCanonicalControl(std::string_view body);

}  // namespace sorvanta
