#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace sorvanta {

// A network interface name with the system's index for it.
struct InterfaceIdentity {
    std::string name;
    int index = 0;

    bool operator==(const InterfaceIdentity&) const = default;
};

}  // namespace sorvanta

template <>
struct std::hash<sorvanta::InterfaceIdentity> {
    std::size_t operator()(const sorvanta::InterfaceIdentity& identity) const noexcept {
        std::size_t seed = std::hash<std::string>{}(identity.name);
        return seed ^ (std::hash<int>{}(identity.index) + 0x9E3779B97F4A7C15ULL + (seed << 6) +
                       (seed >> 2));
    }
};
