#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <variant>
#include <vector>

namespace sorvanta::testing {

// The last of `events` (variants) as a T. No event at all, or a last one of another type,
// fails the test and yields a default T, so that the checks after it report instead of
// reading what is not there.
template <class T, class Events>
T lastAs(const Events& events) {
    if (events.empty()) {
        ADD_FAILURE() << "expected a last event, but there is none";
        return T{};
    }
    if (const auto* value = std::get_if<T>(&events.back())) {
        return *value;
    }
    ADD_FAILURE() << "the last event is of another type (index " << events.back().index()
                  << ")";
    return T{};
}

// Collects values from handlers running on other threads and lets a test wait for them.
template <class T>
class EventRecorder {
  public:
    void push(T value) {
        {
            std::lock_guard lock(mutex_);
            values_.push_back(std::move(value));
        }
        changed_.notify_all();
    }

    // Waits until `done` holds for the values so far; false on timeout.
    bool waitFor(const std::function<bool(const std::vector<T>&)>& done,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return done(values_); });
    }

    bool waitForCount(std::size_t count,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return waitFor([count](const std::vector<T>& v) { return v.size() >= count; }, timeout);
    }

    void clear() {
        std::lock_guard lock(mutex_);
        values_.clear();
    }

    std::vector<T> values() const {
        std::lock_guard lock(mutex_);
        return values_;
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<T> values_;
};

}  // namespace sorvanta::testing
