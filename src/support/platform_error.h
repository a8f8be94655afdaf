#pragma once

#include <string>

namespace sorvanta {

// An error reported by the operating system's networking or by service discovery:
// either a POSIX errno value or a DNS-SD error code (negative, e.g. -65570 for a
// policy refusal). One small value so connection states and setup classification
// can share it.
struct PlatformError {
    enum class Domain { posix, dnssd };

    Domain domain = Domain::posix;
    int code = 0;

    static PlatformError posix(int code) { return {Domain::posix, code}; }
    static PlatformError dnssd(int code) { return {Domain::dnssd, code}; }

    // DNS-SD code returned when local-network access is refused by policy.
    static constexpr int dnssdPolicyDenied = -65570;

    // Stable readable text, e.g. "POSIX error 111: Connection refused" or
    // "DNS-SD error -65570: policy denied".
    std::string text() const;

    bool operator==(const PlatformError&) const = default;
};

}  // namespace sorvanta
