#include "support/sha256.h"

#include <openssl/evp.h>

#include <array>
#include <stdexcept>

namespace sorvanta {

std::string sha256Hex(std::span<const std::uint8_t> bytes) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr) !=
            1 ||
        length != 32) {
        // Only an unusable crypto library gets here; never hand out a wrong digest.
        throw std::runtime_error("SHA-256 is unavailable");
    }
    constexpr std::string_view hex = "0123456789abcdef";
    std::string out;
    out.reserve(2 * length);
    for (unsigned int i = 0; i < length; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 0x0f];
    }
    return out;
}

std::string sha256Hex(std::string_view bytes) {
    return sha256Hex(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

}  // namespace sorvanta
