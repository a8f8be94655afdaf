#pragma once

#include <cstdint>

namespace sorvanta {

// Asks the kernel, over the routing socket `socket`, for the one link `index`; the answer
// carries `sequence`. False when the request did not go out whole.
bool requestLink(int socket, int index, std::uint32_t sequence);

}  // namespace sorvanta
