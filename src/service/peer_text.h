#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace sorvanta {

// Removes every Unicode scalar of the categories a status text or log line must not carry
// from another Mac or the system: controls, format characters and line or paragraph
// separators. Bytes that are not well-formed UTF-8 become U+FFFD.
std::string stripUnsafeScalars(std::string_view text);

// A peer's display name: unsafe scalars removed, then cut to `maximumCharacters` grapheme
// clusters.
std::string cleanPeerText(std::string_view text, std::size_t maximumCharacters);

// This computer's name as it is advertised, said in a hello and shown by a run: unsafe
// scalars removed and cut to 32 scalars; "Mac" when nothing is left, so a hello never
// carries an empty name.
std::string cleanComputerName(std::string_view raw);

// The end detail of a cancel message made from a status: without a leading "Incomplete. ",
// unsafe scalars removed, cut by whole characters to 256 UTF-8 bytes; none when empty.
std::optional<std::string> cancelDetail(std::string_view status);

}  // namespace sorvanta
