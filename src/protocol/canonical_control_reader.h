#pragma once

#include <optional>
#include <string_view>

#include "protocol/control_message.h"

namespace sorvanta {

// A quick reader for the control messages a run exchanges several times a second: test
// messages with or without a sample, in the one form this program writes them (compact JSON,
// each object's keys in the order the encoder sorts them, text in plain printable ASCII). It
// answers only for a body wholly in that form and returns nothing for any other, which the
// strict decoder then reads; so it never refuses a body on its own, and what it returns equals
// what the strict decoder returns for the same body. The message is not validated here.
std::optional<ControlMessage> readCanonicalControl(std::string_view body);

}  // namespace sorvanta
