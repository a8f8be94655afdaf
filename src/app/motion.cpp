#include "app/motion.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace sorvanta {
namespace {

double bezier(double t, double p1, double p2) {
    const double u = 1 - t;
    return 3 * u * u * t * p1 + 3 * u * t * t * p2 + t * t * t;
}

double bezierSlope(double t, double p1, double p2) {
    const double u = 1 - t;
    return 3 * u * u * p1 + 6 * u * t * (p2 - p1) + 3 * t * t * (1 - p2);
}

}  // namespace

double CubicBezier::value(double progress) const {
    const double x = std::clamp(progress, 0.0, 1.0);
    if (x == 0 || x == 1)
        return x;
    // Newton's method first; bisection when the slope is too flat to trust.
    double t = x;
    for (int i = 0; i < 8; ++i) {
        const double error = bezier(t, x1_, x2_) - x;
        if (std::abs(error) < 1e-7)
            return bezier(t, y1_, y2_);
        const double slope = bezierSlope(t, x1_, x2_);
        if (std::abs(slope) < 1e-6)
            break;
        t -= error / slope;
    }
    double low = 0, high = 1;
    t = x;
    for (int i = 0; i < 60; ++i) {
        const double at = bezier(t, x1_, x2_);
        if (std::abs(at - x) < 1e-7)
            break;
        (at < x ? low : high) = t;
        t = (low + high) / 2;
    }
    return bezier(t, y1_, y2_);
}

double Tween::value(double now) const {
    if (duration <= 0 || now >= start + duration)
        return to;
    if (now <= start)
        return from;
    return from + (to - from) * curve.value((now - start) / duration);
}

Spring::Spring(double response, double damping, double value)
    : stiffness_(std::pow(2 * std::numbers::pi / response, 2)),
      friction_(4 * std::numbers::pi * damping / response),
      value_(value),
      target_(value) {}

void Spring::snap(double value) {
    value_ = target_ = value;
    velocity_ = 0;
}

double Spring::step(double dt) {
    if (!(dt > 0) || settled())
        return value_;
    // Small sub-steps keep the semi-implicit integration stable at any frame rate.
    const int steps = static_cast<int>(std::ceil(std::min(dt, 1.0) / 0.002));
    const double h = std::min(dt, 1.0) / steps;
    for (int i = 0; i < steps; ++i) {
        const double force = -stiffness_ * (value_ - target_) - friction_ * velocity_;
        velocity_ += force * h;
        value_ += velocity_ * h;
    }
    if (std::abs(value_ - target_) < 1e-3 && std::abs(velocity_) < 1e-3)
        snap(target_);
    return value_;
}

}  // namespace sorvanta
