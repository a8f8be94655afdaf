#include "engines/bulk_transfer_deadlines.h"

namespace sorvanta {

std::optional<BulkDeadlines::Kind> BulkDeadlines::expired(const Facts& f, double now) {
    if (!(now < total)) {
        return Kind::total;
    }
    if (f.bulkStarted && now - *f.bulkStarted >= activeBulk) {
        return Kind::activeBulk;
    }
    if (f.resultProduced && !f.barrierControlled) {
        return std::nullopt;
    }
    if (f.transferring) {
        // Written so that a time that is not a number counts as stalled.
        if (!(now - f.lastProgress < progress)) {
            return Kind::progress;
        }
        return std::nullopt;
    }
    if (f.verificationComplete) {
        return std::nullopt;
    }
    if (now >= preparation) {
        return Kind::preparation;
    }
    if (f.receiving && f.acceptedAt && !f.preambleComplete && now - *f.acceptedAt >= preamble) {
        return Kind::preamble;
    }
    return std::nullopt;
}

BulkDeadlines::Failure BulkDeadlines::failure(Kind kind,
                                              const std::optional<std::string>& waitReason) {
    switch (kind) {
        case Kind::total:
            return {"Data run exceeded its total deadline.", RunEndCause::tester};
        case Kind::activeBulk:
            return {"Active bulk exceeded 15 seconds.", RunEndCause::tester};
        case Kind::progress:
            return {"No data progress for five seconds.", RunEndCause::connection};
        case Kind::preparation:
            return {std::string("Data preparation timed out.") +
                        (waitReason ? " Waiting: " + *waitReason : std::string()),
                    RunEndCause::connection};
        case Kind::preamble:
            return {"Data preamble timed out.", RunEndCause::connection};
    }
    return {"Data run exceeded its total deadline.", RunEndCause::tester};
}

}  // namespace sorvanta
