#pragma once

#include <optional>
#include <string>

#include "support/uuid.h"

namespace sorvanta {

// A Mac found by discovery.
struct Peer {
    // The directory's key: the instance identifier as upper-case UUID text, or the text of the
    // peer's endpoint when no instance identifier is known.
    std::string id;
    std::string name;
    std::optional<Uuid> instance;
    // Taken to run the same protocol version.
    bool compatible = false;
    std::optional<std::string> model;

    bool operator==(const Peer&) const = default;
};

}  // namespace sorvanta
