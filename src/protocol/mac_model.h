#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace sorvanta {

// The local machine's model identifier (letters, digits, a comma and digits, such as
// "MacBookPro18,3"), advertised to the peer, and the rule that decides which texts count
// as one.
class MacModel {
  public:
    MacModel() = delete;

    // 3 to 32 bytes of ASCII letters, digits, a comma and digits, and nothing else — not
    // even a trailing line break.
    // Absent text is not an identifier.
    static bool isValidIdentifier(std::optional<std::string_view> text);

    // The model identifier in the contents of a firmware product-name file: the kernel
    // ends the value with one line break, which is not part of it. The value is the bytes
    // before the first NUL; 64 bytes or more yield nothing.
    static std::optional<std::string> fromProductName(std::string_view contents);
};

}  // namespace sorvanta
