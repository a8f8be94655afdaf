#pragma once

#include <asio/steady_timer.hpp>
#include <map>
#include <memory>
#include <mutex>

#include "platform/net/network_executor.h"
#include "platform/net/scheduler.h"
#include "support/clock.h"

namespace sorvanta {

// The Scheduler of the running program: asio steady timers on the owner's executor, with a
// SteadyClock (the same monotonic clock). Destroying it cancels every pending action.
class AsioScheduler final : public Scheduler {
  public:
    explicit AsioScheduler(NetworkExecutor executor);
    ~AsioScheduler() override;
    AsioScheduler(const AsioScheduler&) = delete;
    AsioScheduler& operator=(const AsioScheduler&) = delete;

    Token schedule(double seconds, std::function<void()> action) override;
    void cancel(Token token) override;
    Clock& clock() override { return clock_; }

  private:
    // Shared with the pending waits, which may complete after the scheduler is gone.
    struct Timers {
        std::mutex mutex;
        Token next = 1;
        std::map<Token, std::unique_ptr<asio::steady_timer>> pending;
    };

    NetworkExecutor executor_;
    SteadyClock clock_;
    std::shared_ptr<Timers> timers_;
};

}  // namespace sorvanta
