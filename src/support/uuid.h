#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace sorvanta {

// A 128-bit identifier. Canonical text is 36 characters, hyphenated 8-4-4-4-12, written
// in upper case; parsing accepts either case and nothing else.
class Uuid {
  public:
    using Bytes = std::array<std::uint8_t, 16>;

    // The nil identifier (all zero bytes).
    constexpr Uuid() = default;
    explicit constexpr Uuid(const Bytes& bytes) : bytes_(bytes) {}

    // A random version-4 identifier from the kernel's secure random source.
    static Uuid random();

    // Refuses braces, missing or misplaced hyphens, wrong length and non-hex digits.
    static std::optional<Uuid> parse(std::string_view text);

    std::string text() const;

    // The raw bytes in the order of the canonical text.
    const Bytes& bytes() const { return bytes_; }

    bool isNil() const;

    auto operator<=>(const Uuid&) const = default;

  private:
    Bytes bytes_{};
};

}  // namespace sorvanta

template <>
struct std::hash<sorvanta::Uuid> {
    std::size_t operator()(const sorvanta::Uuid& id) const noexcept;
};
