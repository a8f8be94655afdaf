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
    TimePoint epoch() const { return epoch_; }

  private:
    TimePoint epoch_;
};

// A clock that moves only when told to; reads and moves may come from any thread.
class ManualClock final : public Clock {
  public:
    explicit ManualClock(double start = 0.0) : seconds_(start) {}

    double now() const override { return seconds_.load(); }
    void set(double seconds) { seconds_.store(seconds); }
    void advance(double seconds) { seconds_.fetch_add(seconds); }

  private:
    std::atomic<double> seconds_;
};

}  // namespace sorvanta
