#pragma once

#include <optional>
#include <string>

#include "protocol/control_message.h"

namespace sorvanta {

// A quick writer for the control messages a run sends several times a second: test messages
// with or without a sample and nothing else, no text in the sample. It writes byte for byte
// what the strict encoder writes (compact JSON, keys in sorted order) and answers nothing
// for any other message, which the strict encoder then writes. The message is not validated
// here.
std::optional<std::string> writeCanonicalControl(const ControlMessage& message);

}  // namespace sorvanta
