#pragma once

#include <string_view>

namespace sorvanta {

// Peer-supplied text is refused when any Unicode scalar is a line or paragraph separator
// (Zl, Zp), a control (Cc) or a format character (Cf). No length limit of its own:
// callers bound the UTF-8 length first. Ill-formed UTF-8 reads as U+FFFD, which passes.
bool isSafeText(std::string_view text);

}  // namespace sorvanta
