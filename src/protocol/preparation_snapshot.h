#pragma once

#include <optional>
#include <string>
#include <vector>

#include "protocol/setup_issue.h"

namespace sorvanta {

// The state of a run's preparation (check connections and data-connection setup), filled
// by the sequencer. No equality and no coding: it is never compared or sent.
struct PreparationSnapshot {
    bool required = false;
    bool localVerified = false;
    bool peerVerified = false;
    bool peerReady = false;
    bool complete = false;
    bool bulkStarted = false;
    std::optional<SetupIssue> issue;
    // The issue was reported by the other Mac.
    bool remoteIssue = false;
    // The name used for the other Mac in texts.
    std::string peerName = "the other Mac";
    // Preparation steps, for the report.
    std::vector<std::string> trace;
};

}  // namespace sorvanta
