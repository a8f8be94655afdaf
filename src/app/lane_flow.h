#pragma once

#include <optional>
#include <vector>

#include "assessment/presentation/window_presentation.h"

namespace sorvanta {

// The per-lane scroll offsets of the band's marks, advanced once per frame. Each lane's speed
// eases towards a target set by its flow and rate, so rate changes speed the marks up or
// slow them down gradually; a new set of lanes starts from zero at full speed.
class LaneFlow {
  public:
    using Lane = WindowPresentation::Lane;

    // `now` in seconds on any steady clock; returns one offset in pixels per lane.
    const std::vector<double>& advance(const std::vector<Lane>& lanes, bool animate, double now);

    // Pixels per second a lane moves at once eased in.
    static double targetSpeed(const Lane& lane);

    const std::optional<double>& last() const { return last_; }
    const std::vector<double>& speeds() const { return speeds_; }

  private:
    std::optional<double> last_;
    std::vector<int> signature_;
    std::vector<double> offsets_;
    std::vector<double> speeds_;
};

}  // namespace sorvanta
