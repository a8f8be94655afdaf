#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace sorvanta {

// Asks the kernel, over the routing socket `socket`, for the one link `index`; the answer
// carries `sequence`. False when the request did not go out whole.
bool requestLink(int socket, int index, std::uint32_t sequence);

// A link as the kernel describes it: its up and carrier flags (IFF_UP, IFF_LOWER_UP only)
// and its name.
struct LinkFacts {
    unsigned flags = 0;
    std::string name;
    bool operator==(const LinkFacts&) const = default;
};

// Asks for the link `index` over `socket` and reads the answer, never waiting for one: an
// answer of any length is read whole, answers to earlier questions are passed over, and when
// the socket's queue overflowed the question is asked once more. `sequence` is advanced for
// each question. Empty when the link is gone or no answer could be read.
std::optional<LinkFacts> askLink(int socket, int index, std::uint32_t& sequence);

}  // namespace sorvanta
