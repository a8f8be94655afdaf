#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "support/json_codec.h"
#include "support/platform_error.h"

namespace sorvanta {

// Why preparing the connections of a test failed or is held up. Shared by both Macs: it
// travels in test-protocol messages and is kept in the run's preparation state.
enum class SetupIssue { policyDenied, timeout, refused, connection, consent, incompatible };

// Classifies the error a data or check connection reported while waiting or failing.
// `localNetworkDenied` is true when the connection's path reports that local-network
// access was refused; it wins over any error. Never yields `consent` or `incompatible`.
SetupIssue classifySetupIssue(const std::optional<PlatformError>& error, bool localNetworkDenied);

// The user text for the issue; `peer` is the other Mac's name, inserted unchanged, and
// `remote` is true when the other Mac reported the issue.
std::string setupIssueMessage(SetupIssue issue, std::string_view peer, bool remote);

template <>
struct json::EnumNames<SetupIssue> {
    static constexpr std::array<std::string_view, 6> names{
        "policyDenied", "timeout", "refused", "connection", "consent", "incompatible"};
};

}  // namespace sorvanta
