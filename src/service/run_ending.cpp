#include "service/run_ending.h"

#include "protocol/incomplete_status.h"
#include "service/peer_text.h"

namespace sorvanta {

SpeedMessage runMessage(SpeedMessage::Kind kind, const Uuid& run, const Uuid& sender,
                        QuickProfile profile, std::int64_t stage) {
    SpeedMessage message;
    message.kind = kind;
    message.run = run;
    message.sender = sender;
    message.profile = profile;
    message.stage = stage;
    return message;
}

SpeedMessage cancelMessage(const Uuid& run, const Uuid& sender, QuickProfile profile,
                           std::int64_t stage, RunEndCause cause, std::string_view reason) {
    SpeedMessage message = runMessage(SpeedMessage::Kind::cancel, run, sender, profile, stage);
    message.end = cause;
    if (cause != RunEndCause::stopped) {
        message.endDetail = cancelDetail(reason);
    }
    return message;
}

EngineEnding engineEnding(const SpeedSnapshot& final) {
    using Phase = SpeedSnapshot::Phase;
    EngineEnding ending;
    ending.cause = final.end.value_or(final.phase == Phase::failed ? RunEndCause::tester
                                                                   : RunEndCause::stopped);
    if (final.phase == Phase::complete || final.endedRemotely) {
        ending.sendCancel = false;
    } else if (final.end == RunEndCause::connection && final.preparation.required &&
               !final.preparation.bulkStarted) {
        // Failed while preparing: the other Mac already knows unless the issue was its own.
        ending.sendCancel = final.preparation.remoteIssue;
    } else {
        ending.sendCancel = true;
    }
    ending.status = final.phase == Phase::complete ? final.status : incompleteStatus(final.status);
    return ending;
}

RemoteEnding remoteEnding(const std::optional<RunEndCause>& end, std::string_view peerName,
                          const std::optional<std::string>& endDetail) {
    RemoteEnding ending;
    ending.cause = end.value_or(RunEndCause::stopped);
    const std::string peer = stripUnsafeScalars(peerName);
    if (ending.cause == RunEndCause::stopped) {
        ending.reason = "Stopped on " + peer + ".";
        return ending;
    }
    ending.failed = true;
    ending.reason = peer + " couldn\u2019t continue the test";
    if (endDetail) {
        ending.reason += ": " + stripUnsafeScalars(*endDetail);
    } else {
        ending.reason += ".";
    }
    return ending;
}

}  // namespace sorvanta
