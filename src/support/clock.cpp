#include "support/clock.h"

namespace sorvanta {

double SteadyClock::now() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - epoch_).count();
}

double SteadyClock::at(TimePoint instant) const {
    return std::chrono::duration<double>(instant - epoch_).count();
}

}  // namespace sorvanta
