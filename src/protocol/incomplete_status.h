#pragma once

#include <string>
#include <string_view>

namespace sorvanta {

// The status of a run that did not complete begins with "Incomplete. ". Both computers and
// every layer compose it by this one rule, so the prefix never stands twice.
inline constexpr std::string_view incompletePrefix = "Incomplete. ";

// "Incomplete. " followed by `reason`; a reason that already begins with "Incomplete." is
// the status itself and stays as it is.
std::string incompleteStatus(std::string_view reason);

// The status without one leading "Incomplete. " (the end detail a cancel message carries);
// a status beginning "Incomplete." without the space keeps it.
std::string_view withoutIncompletePrefix(std::string_view status);

}  // namespace sorvanta
