#pragma once

#include <optional>
#include <string>

#include "protocol/run_end_cause.h"

namespace sorvanta {

// The deadlines of one TCP data engine, checked on its 0.25 s tick. Times are seconds since
// the engine's epoch; every limit is reached when the elapsed time is at least the limit.
struct BulkDeadlines {
    static constexpr double total = 30.0;        // since the epoch, every engine
    static constexpr double activeBulk = 15.0;   // since the payload began
    static constexpr double progress = 5.0;      // without payload moving, while transferring
    static constexpr double preparation = 10.0;  // since the epoch, until transferring or verified
    static constexpr double preamble = 3.0;      // since accepting, until the preamble is complete

    enum class Kind { total, activeBulk, progress, preparation, preamble };

    // What the tick needs to know of the engine.
    struct Facts {
        bool receiving = false;
        bool barrierControlled = false;
        bool transferring = false;
        bool resultProduced = false;
        bool verificationComplete = false;
        bool preambleComplete = false;
        std::optional<double> bulkStarted;
        double lastProgress = 0;
        std::optional<double> acceptedAt;
    };

    // The first deadline passed at `now`, in the order total, active bulk, progress,
    // preparation, preamble; none when every deadline still holds. A time that is not a
    // number has passed the total deadline.
    static std::optional<Kind> expired(const Facts& facts, double now);

    struct Failure {
        std::string message;
        RunEndCause cause;
        bool operator==(const Failure&) const = default;
    };
    // The failure a passed deadline ends the engine with; the preparation text names the
    // last waiting reason when there is one.
    static Failure failure(Kind kind, const std::optional<std::string>& waitReason = {});
};

}  // namespace sorvanta
