#pragma once

#include <functional>
#include <map>
#include <optional>
#include <utility>

#include "platform/net/scheduler.h"
#include "support/clock.h"

namespace sorvanta::testing {

// A Scheduler on a ManualClock: nothing runs until the test calls advance(), which moves the
// clock to each due time in turn and runs what fell due, in time order (ties in the order
// scheduled), including actions scheduled meanwhile that fall due within the advance. Used
// from the test's thread only.
class FakeScheduler final : public Scheduler {
  public:
    explicit FakeScheduler(double start = 0.0) : clock_(start) {}

    Token schedule(double seconds, std::function<void()> action) override {
        const Token token = next_++;
        pending_.emplace(std::make_pair(clock_.now() + (seconds > 0 ? seconds : 0), token),
                         std::move(action));
        return token;
    }

    void cancel(Token token) override {
        for (auto it = pending_.begin(); it != pending_.end(); ++it) {
            if (it->first.second == token) {
                pending_.erase(it);
                return;
            }
        }
    }

    Clock& clock() override { return clock_; }
    ManualClock& manualClock() { return clock_; }

    // Runs everything due within `seconds` from now; returns how many actions ran.
    int advance(double seconds) {
        const double end = clock_.now() + seconds;
        int ran = 0;
        while (!pending_.empty() && pending_.begin()->first.first <= end) {
            auto due = pending_.begin();
            if (due->first.first > clock_.now()) {
                clock_.set(due->first.first);
            }
            auto action = std::move(due->second);
            pending_.erase(due);
            if (action) {
                action();
            }
            ++ran;
        }
        clock_.set(end);
        return ran;
    }

    std::size_t pendingCount() const { return pending_.size(); }
    // Seconds until the earliest pending action, if any.
    std::optional<double> nextDue() const {
        if (pending_.empty()) {
            return std::nullopt;
        }
        return pending_.begin()->first.first - clock_.now();
    }

  private:
    ManualClock clock_;
    Token next_ = 1;
    std::map<std::pair<double, Token>, std::function<void()>> pending_;
};

}  // namespace sorvanta::testing
