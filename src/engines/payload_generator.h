#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace sorvanta {

// The bytes a sending data connection repeats. Their content carries no meaning (the receiver
// never looks at it); they are pseudo-random so that nothing on the way can compress them.
using PayloadBuffer = std::vector<std::uint8_t>;

// Size of the one buffer every payload send passes whole.
inline constexpr std::size_t payloadSize = 131'072;

// A seed in 1 … 2^64 − 1 from the kernel's secure source; never 0.
std::uint64_t drawPayloadSeed();

// `size` bytes of the MMIX linear congruential generator started at `seed`: each step
// state = state × 6364136223846793005 + 1442695040888963407 (mod 2^64) yields bits 32–39 of
// the new state. The first byte comes from the first step after the seed.
std::shared_ptr<const PayloadBuffer> makePayload(std::uint64_t seed,
                                                 std::size_t size = payloadSize);

}  // namespace sorvanta
