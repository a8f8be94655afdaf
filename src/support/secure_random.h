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

// A seed, drawn from the same source, for a pseudo-random generator (e.g. the timing
// jitter of multicast DNS).
std::uint32_t secureRandomSeed();

}  // namespace sorvanta
