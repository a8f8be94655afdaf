#pragma once

#include <string>

namespace sorvanta {

// A change of the advertised registration: the instance name was claimed (added) or
// given up (removed, e.g. after a conflict renamed it).
struct DnssdRegistrationChange {
    enum class Kind { added, removed };

    Kind kind = Kind::added;
    std::string instanceName;

    // "added(Desk._sorvanta._tcp.local.)" / "removed(…)".
    std::string text() const;

    bool operator==(const DnssdRegistrationChange&) const = default;
};

}  // namespace sorvanta
