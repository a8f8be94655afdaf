#include "engines/payload_generator.h"

#include <cstring>
#include <limits>

#include "support/secure_random.h"

namespace sorvanta {

std::uint64_t drawPayloadSeed() {
    for (;;) {
        std::uint64_t value = 0;
        std::uint8_t bytes[sizeof value];
        secureRandomFill(bytes);
        std::memcpy(&value, bytes, sizeof value);
        // A uniform draw in 0 … 2^64 − 2, plus one: rejecting the one excluded value keeps
        // the others equally likely.
        if (value != std::numeric_limits<std::uint64_t>::max()) {
            return value + 1;
        }
    }
}

std::shared_ptr<const PayloadBuffer> makePayload(std::uint64_t seed, std::size_t size) {
    constexpr std::uint64_t multiplier = 6364136223846793005ULL;
    constexpr std::uint64_t increment = 1442695040888963407ULL;
    auto buffer = std::make_shared<PayloadBuffer>(size);
    std::uint64_t state = seed;
    for (auto& byte : *buffer) {
        state = state * multiplier + increment;
        byte = static_cast<std::uint8_t>(state >> 32);
    }
    return buffer;
}

}  // namespace sorvanta
