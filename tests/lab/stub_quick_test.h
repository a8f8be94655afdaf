#pragma once

#include <functional>
#include <optional>
#include <string>

#include "protocol/incomplete_status.h"
#include "quicktest/quick_test.h"

namespace sorvanta::testing {

// A run engine that does nothing but end when told to, for runs across namespaces and in
// copies of the service that run as processes of their own.
struct StubQuickTest final : QuickTest {
    Setup setup;
    // Outputs reported at once on start, to overflow the service's event queue.
    int burst = 0;
    void start() override {
        for (int i = 0; i < burst; ++i) {
            setup.notify({Output::Kind::snapshot, std::nullopt, SpeedSnapshot{}});
        }
    }
    void deliver(SpeedMessage) override {}
    void fail(std::string reason, bool failed, std::optional<RunEndCause> cause, bool remote,
              std::function<void(SpeedSnapshot)> done) override {
        SpeedSnapshot final;
        final.run = setup.id;
        final.phase = failed ? SpeedSnapshot::Phase::failed : SpeedSnapshot::Phase::cancelled;
        final.status = incompleteStatus(reason);
        final.end = cause;
        final.endedRemotely = remote;
        done(final);
    }
};

}  // namespace sorvanta::testing
