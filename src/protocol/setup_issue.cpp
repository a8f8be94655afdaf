#include "protocol/setup_issue.h"

#include <cerrno>

namespace sorvanta {

SetupIssue classifySetupIssue(const std::optional<PlatformError>& error, bool localNetworkDenied) {
    if (localNetworkDenied) {
        return SetupIssue::policyDenied;
    }
    if (!error) {
        return SetupIssue::connection;
    }
    switch (error->domain) {
        case PlatformError::Domain::dnssd:
            if (error->code == PlatformError::dnssdPolicyDenied) {
                return SetupIssue::policyDenied;
            }
            break;
        case PlatformError::Domain::posix:
            if (error->code == ECONNREFUSED) {
                return SetupIssue::refused;
            }
            if (error->code == ETIMEDOUT) {
                return SetupIssue::timeout;
            }
            break;
    }
    return SetupIssue::connection;
}

std::string setupIssueMessage(SetupIssue issue, std::string_view peer, bool remote) {
    const std::string name(peer);
    switch (issue) {
        case SetupIssue::policyDenied:
            return remote ? name + " is blocking Sorvanta\u2019s network connection."
                          : "This Mac is blocking Sorvanta\u2019s network connection.";
        case SetupIssue::timeout:
        case SetupIssue::refused:
        case SetupIssue::connection:
            return "Could not connect to " + name + ". Check Sorvanta and the cable on both Macs.";
        case SetupIssue::consent:
            return name +
                   " didn\u2019t accept the test. It accepts tests only over a direct cable with "
                   "no "
                   "other Sorvanta Mac visible, and not while it is busy.";
        case SetupIssue::incompatible:
            return "Open the same Sorvanta version on both Macs.";
    }
    return "Could not connect to " + name + ". Check Sorvanta and the cable on both Macs.";
}

}  // namespace sorvanta
