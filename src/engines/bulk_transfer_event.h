#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "protocol/run_end_cause.h"
#include "protocol/setup_issue.h"
#include "protocol/speed_sample.h"

namespace sorvanta {

// What a TCP data engine tells its owner, in the order it happened. `Failed` is always the
// engine's last event.
struct BulkTransferEvent {
    // The receiving side's listener is ready on this port.
    struct Listening {
        std::uint16_t port = 0;
        bool operator==(const Listening&) const = default;
    };
    // A check connection waits; why, classified.
    struct PreparationWaiting {
        SetupIssue issue = SetupIssue::connection;
        bool operator==(const PreparationWaiting&) const = default;
    };
    // A check connection failed for a connection reason; comes just before `Failed`.
    struct PreparationFailed {
        SetupIssue issue = SetupIssue::connection;
        bool operator==(const PreparationFailed&) const = default;
    };
    // A receiver's running sample (every tick), or its last one when it fails.
    struct Progress {
        SpeedSample sample;
        bool operator==(const Progress&) const = default;
    };
    // A receiver's final sample.
    struct Result {
        SpeedSample sample;
        bool operator==(const Result&) const = default;
    };
    // "Data path: …" when the connection became ready on the verified path, or
    // "Data setup (not verified): …" while setup waits or fails.
    struct Path {
        std::string text;
        bool operator==(const Path&) const = default;
    };
    struct Failed {
        std::string message;
        RunEndCause cause = RunEndCause::tester;
        bool operator==(const Failed&) const = default;
    };
    // This side finished a check connection's preamble exchange.
    struct Verified {
        bool operator==(const Verified&) const = default;
    };
    // A stage receiver read and accepted the sender's preamble.
    struct ReceiverReady {
        bool operator==(const ReceiverReady&) const = default;
    };
    // A stage receiver passed its warm-up.
    struct Warmed {
        bool operator==(const Warmed&) const = default;
    };

    using Value = std::variant<Listening, PreparationWaiting, PreparationFailed, Progress, Result,
                               Path, Failed, Verified, ReceiverReady, Warmed>;
};

}  // namespace sorvanta
