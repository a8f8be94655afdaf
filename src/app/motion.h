#pragma once

namespace sorvanta {

// A timing curve through (0,0), (x1,y1), (x2,y2), (1,1), as CSS and the platform animations
// define it: value(progress) solves x for the progress and returns y.
class CubicBezier {
  public:
    constexpr CubicBezier(double x1, double y1, double x2, double y2)
        : x1_(x1), y1_(y1), x2_(x2), y2_(y2) {}
    static constexpr CubicBezier easeInOut() { return {0.42, 0, 0.58, 1}; }
    static constexpr CubicBezier easeOut() { return {0, 0, 0.58, 1}; }
    static constexpr CubicBezier linear() { return {0, 0, 1, 1}; }
    // Progress outside 0…1 is clamped.
    double value(double progress) const;

  private:
    double x1_, y1_, x2_, y2_;
};

// One value moving from `from` to `to` over `duration` seconds along a curve, read at any
// time; before `start` it reads `from`, after the end `to`.
struct Tween {
    double from = 0;
    double to = 0;
    double start = 0;
    double duration = 0;
    CubicBezier curve = CubicBezier::easeInOut();
    double value(double now) const;
    bool finished(double now) const { return now >= start + duration; }
};

// A damped spring with unit mass, described as the platform describes springs: `response`
// is the period of the undamped oscillation in seconds, `damping` the fraction of critical
// damping. Stepped once per frame with the frame's duration.
class Spring {
  public:
    Spring(double response, double damping, double value = 0);
    static Spring band(double value = 0) { return {0.7, 0.88, value}; }

    void setTarget(double target) { target_ = target; }
    // Jumps to a value and stops (reduced motion).
    void snap(double value);
    // Advances by dt seconds (negative counts as 0) and returns the new value; settles
    // exactly on the target once the remaining motion is below a thousandth.
    double step(double dt);
    double value() const { return value_; }
    double target() const { return target_; }
    bool settled() const { return value_ == target_ && velocity_ == 0; }

  private:
    double stiffness_;
    double friction_;
    double value_;
    double target_;
    double velocity_ = 0;
};

}  // namespace sorvanta
