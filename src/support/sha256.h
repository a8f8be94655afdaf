#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace sorvanta {

// SHA-256 of the bytes as 64 lowercase hexadecimal characters (each byte as "%02x").
std::string sha256Hex(std::span<const std::uint8_t> bytes);
std::string sha256Hex(std::string_view bytes);

}  // namespace sorvanta
