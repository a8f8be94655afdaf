#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "service/quick_test.h"

namespace sorvanta::testing {

// A run engine that records what the service asks of it; the test finishes it by hand.
struct FakeQuickTest final : QuickTest {
    Setup setup;
    int starts = 0;
    std::vector<SpeedMessage> delivered;
    std::function<void(SpeedSnapshot)> done;
    std::optional<std::string> failReason;

    void start() override { ++starts; }
    void deliver(SpeedMessage message) override { delivered.push_back(std::move(message)); }
    void fail(std::string reason, bool, std::optional<RunEndCause>, bool,
              std::function<void(SpeedSnapshot)> completion) override {
        failReason = std::move(reason);
        done = std::move(completion);
    }
};

}  // namespace sorvanta::testing
