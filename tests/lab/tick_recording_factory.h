#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "lab/forwarding_network_factory.h"

namespace sorvanta::testing {

// Forwards to another factory, and for each precise timer it makes records how late each
// tick began after its deadline while the timer was exact, and how far apart the
// ends of consecutive ticks fell (a probe receiver takes its receive check inside the tick,
// after its lock, so these are its receive-check intervals to within the tick's own work).
class TickRecordingFactory final : public ForwardingNetworkFactory {
  public:
    struct Ticks {
        std::chrono::nanoseconds period{};
        std::vector<double> exactLateness;  // seconds
        std::vector<double> intervals;      // seconds
        // How long each tick took from its call to its return (for a tick that waits for a
        // lock, mostly that wait), and the intervals between the calls: a long interval
        // between calls is the timer's thread, a long call the lock.
        std::vector<double> durations, callIntervals;
        // The timer was asked for prompt wake-ups (a probe receiver's is).
        bool prompt = false;
    };

    explicit TickRecordingFactory(std::shared_ptr<NetworkFactory> inner)
        : ForwardingNetworkFactory(std::move(inner)) {}

    // What every timer made so far recorded; call when they have stopped ticking.
    std::vector<Ticks> ticks() const {
        std::lock_guard lock(mutex_);
        std::vector<Ticks> all;
        for (const auto& record : records_) {
            std::lock_guard recordLock(record->mutex);
            all.push_back(record->ticks);
        }
        return all;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        records_.clear();
    }

    std::shared_ptr<PreciseTimer> makePreciseTimer(std::chrono::nanoseconds period,
                                                   std::function<void()> tick) override {
        auto record = std::make_shared<Record>();
        record->ticks.period = period;
        {
            std::lock_guard lock(mutex_);
            records_.push_back(record);
        }
        auto timer = inner().makePreciseTimer(period, [record, tick = std::move(tick)] {
            record->begin();
            tick();
            record->end();
        });
        record->timer = timer;
        return std::make_shared<Timer>(std::move(timer), record);
    }

  private:
    using Steady = std::chrono::steady_clock;

    struct Record {
        std::mutex mutex;
        Ticks ticks;
        bool exact = false;
        std::weak_ptr<PreciseTimer> timer;
        std::optional<Steady::time_point> lastEnd, lastBegin;

        void begin() {
            const auto now = Steady::now();
            const auto made = timer.lock();
            std::lock_guard lock(mutex);
            if (lastBegin) {
                ticks.callIntervals.push_back(
                    std::chrono::duration<double>(now - *lastBegin).count());
            }
            lastBegin = now;
            if (exact && made) {
                ticks.exactLateness.push_back(
                    std::chrono::duration<double>(now - made->currentDeadline()).count());
            }
        }
        void end() {
            const auto now = Steady::now();
            std::lock_guard lock(mutex);
            if (lastEnd) {
                ticks.intervals.push_back(std::chrono::duration<double>(now - *lastEnd).count());
            }
            if (lastBegin) {
                ticks.durations.push_back(std::chrono::duration<double>(now - *lastBegin).count());
            }
            lastEnd = now;
        }
    };

    class Timer final : public PreciseTimer {
      public:
        Timer(std::shared_ptr<PreciseTimer> inner, std::shared_ptr<Record> record)
            : inner_(std::move(inner)), record_(std::move(record)) {}
        void start() override { inner_->start(); }
        void cancel() override { inner_->cancel(); }
        void setExact(bool exact) override {
            {
                std::lock_guard lock(record_->mutex);
                record_->exact = exact;
            }
            inner_->setExact(exact);
        }
        void setPrompt(bool prompt) override {
            {
                std::lock_guard lock(record_->mutex);
                record_->ticks.prompt = prompt;
            }
            inner_->setPrompt(prompt);
        }
        std::chrono::nanoseconds period() const override { return inner_->period(); }
        std::uint64_t coalescedTicks() const override { return inner_->coalescedTicks(); }
        std::chrono::steady_clock::time_point currentDeadline() const override {
            return inner_->currentDeadline();
        }

      private:
        std::shared_ptr<PreciseTimer> inner_;
        std::shared_ptr<Record> record_;
    };

    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<Record>> records_;
};

}  // namespace sorvanta::testing
