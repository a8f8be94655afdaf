#include "app/lane_flow.h"

#include <algorithm>
#include <cmath>

namespace sorvanta {

double LaneFlow::targetSpeed(const Lane& lane) {
    if (lane.flow == WindowPresentation::Flow::dots)
        return 50;
    if (!lane.rate)
        return 40;
    const double rate = std::isnan(*lane.rate) ? 1e7 : std::max(*lane.rate, 1e7);
    return 30 + 30 * std::log10(rate / 1e7);
}

const std::vector<double>& LaneFlow::advance(const std::vector<Lane>& lanes, bool animate,
                                             double now) {
    std::vector<int> signature;
    std::vector<double> targets;
    for (const Lane& lane : lanes) {
        signature.push_back(lane.direction * (lane.flow == WindowPresentation::Flow::dots ? 2 : 1));
        targets.push_back(targetSpeed(lane));
    }
    if (signature != signature_) {
        signature_ = std::move(signature);
        offsets_.assign(lanes.size(), 0);
        speeds_ = targets;
        last_.reset();
    }
    double dt = 0;
    if (animate && last_)
        dt = std::clamp(now - *last_, 0.0, 0.1);
    last_ = now;
    const double k = std::min(2.5 * dt, 1.0);
    for (std::size_t i = 0; i < lanes.size(); ++i) {
        speeds_[i] += (targets[i] - speeds_[i]) * k;
        offsets_[i] += speeds_[i] * dt;
    }
    return offsets_;
}

}  // namespace sorvanta
