#pragma once

#include <string>
#include <string_view>

namespace sorvanta {

// Text that came from the other Mac, made safe to show: every control (Cc), format (Cf),
// line separator (Zl) and paragraph separator (Zp) scalar is removed, so a peer cannot
// start a line of its own in the report or reorder the text around it; ill-formed UTF-8
// becomes U+FFFD.
std::string cleanPeerText(std::string_view text);

}  // namespace sorvanta
