#pragma once

#include <optional>
#include <string>

#include "protocol/control_message.h"

namespace sorvanta {

// A quick writer for control messages, above all those a run sends several times a second.
// It walks each record's field list and writes byte for byte what the strict encoder writes
// (compact JSON, keys in sorted order). It answers nothing for a message holding a value it
// does not write that way (text to escape, Base64 bytes, a number or case the strict encoder
// refuses, a record that writes itself), which the strict encoder then writes. The message
// is not validated here.
std::optional<std::string> writeCanonicalControl(const ControlMessage& message);

}  // namespace sorvanta
