#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace sorvanta {

// Fills the buffer from the kernel's secure random source (getrandom). Aborts the
// process if the kernel cannot supply randomness: tokens and identifiers must never
// be predictable, and there is no sound fallback.
void secureRandomFill(std::span<std::uint8_t> buffer);

std::vector<std::uint8_t> secureRandomBytes(std::size_t count);

}  // namespace sorvanta
