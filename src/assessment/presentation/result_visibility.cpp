#include "assessment/presentation/result_visibility.h"

namespace sorvanta {

ServiceSnapshot ResultVisibility::observe(const ServiceSnapshot& snapshot,
                                          std::chrono::system_clock::time_point now) {
    // The run is noted first, so the history always works on the run `run` names.
    if (snapshot.speed.run != run) {
        run = snapshot.speed.run;
        mayRevealCurrent = true;
    }
    return history.update(snapshot, now);
}

}  // namespace sorvanta
