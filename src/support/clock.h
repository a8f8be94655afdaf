#pragma once

#include <atomic>
#include <chrono>

namespace sorvanta {

// Seconds since an epoch on the monotonic clock. Engines and pure logic take a Clock so
// that tests can drive time by hand.
class Clock {
  public:
    virtual ~Clock() = default;
    virtual double now() const = 0;
    // The same scale's reading for an instant of the monotonic clock (a kernel's receive
    // stamp, say).
    virtual double at(std::chrono::steady_clock::time_point instant) const = 0;
};

// The system's monotonic clock (std::chrono::steady_clock, CLOCK_MONOTONIC on Linux), the
// same clock asio's steady timers use.
class SteadyClock final : public Clock {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;

    // The epoch is the moment of construction unless given.
    SteadyClock() : SteadyClock(std::chrono::steady_clock::now()) {}
    explicit SteadyClock(TimePoint epoch) : epoch_(epoch) {}

    double now() const override;
    double at(TimePoint instant) const override;
    TimePoint epoch() const { return epoch_; }

  private:
    TimePoint epoch_;
};

// A clock that moves only when told to; reads and moves may come from any thread.
// Monotonic instants map onto it as if it had run in real time from `start` at its making,
// so that a test can hand out instants for chosen readings (instant()).
class ManualClock final : public Clock {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;

    explicit ManualClock(double start = 0.0)
        : seconds_(start), start_(start), anchor_(std::chrono::steady_clock::now()) {}

    double now() const override { return seconds_.load(); }
    double at(TimePoint instant) const override {
        return start_ + std::chrono::duration<double>(instant - anchor_).count();
    }
    // The instant whose reading is `seconds`.
    TimePoint instant(double seconds) const {
        return anchor_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                             std::chrono::duration<double>(seconds - start_));
    }
    void set(double seconds) { seconds_.store(seconds); }
    void advance(double seconds) { seconds_.fetch_add(seconds); }

  private:
    std::atomic<double> seconds_;
    const double start_;
    const TimePoint anchor_;
};

}  // namespace sorvanta
