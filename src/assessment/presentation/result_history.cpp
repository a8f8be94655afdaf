#include "assessment/presentation/result_history.h"

namespace sorvanta {

ServiceSnapshot ResultHistory::update(const ServiceSnapshot& snapshot,
                                      std::chrono::system_clock::time_point now) {
    using Phase = SpeedSnapshot::Phase;
    ServiceSnapshot shown = snapshot;
    const SpeedSnapshot& speed = snapshot.speed;
    if (!speed.run) {
        context.reset();
        shown.previousResult = completed;
        return shown;
    }
    const Uuid& run = *speed.run;
    if (!context || context->run != run) {
        context = ResultContext{run, snapshot.activePeerName, std::nullopt};
    }
    const bool finished = speed.phase == Phase::complete || speed.phase == Phase::cancelled ||
                          speed.phase == Phase::failed;
    if (!speed.busy && finished && !context->observedAt) {
        context->observedAt = now;
    }
    shown.resultContext = context;
    if (speed.phase == Phase::complete) {
        completed = PreviousResult{speed, *context};
    }
    const bool preparing = speed.preparation.required && !speed.preparation.bulkStarted;
    if (preparing && (!completed || completed->context.run != run)) {
        shown.previousResult = completed;
    }
    return shown;
}

}  // namespace sorvanta
