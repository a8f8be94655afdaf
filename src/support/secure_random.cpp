#include "support/secure_random.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace sorvanta {

void secureRandomFill(std::span<std::uint8_t> buffer) {
    std::size_t filled = 0;
    while (filled < buffer.size()) {
        ssize_t got = getrandom(buffer.data() + filled, buffer.size() - filled, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::perror("getrandom");
            std::abort();
        }
        filled += static_cast<std::size_t>(got);
    }
}

std::vector<std::uint8_t> secureRandomBytes(std::size_t count) {
    std::vector<std::uint8_t> bytes(count);
    secureRandomFill(bytes);
    return bytes;
}

std::uint32_t secureRandomSeed() {
    std::uint32_t seed = 0;
    secureRandomFill(std::span(reinterpret_cast<std::uint8_t*>(&seed), sizeof seed));
    return seed;
}

}  // namespace sorvanta
