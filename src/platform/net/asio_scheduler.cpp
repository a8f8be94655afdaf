#include "platform/net/asio_scheduler.h"

#include <chrono>

namespace sorvanta {

AsioScheduler::AsioScheduler(NetworkExecutor executor)
    : executor_(std::move(executor)), timers_(std::make_shared<Timers>()) {}

AsioScheduler::~AsioScheduler() {
    std::map<Token, std::unique_ptr<asio::steady_timer>> pending;
    {
        std::lock_guard lock(timers_->mutex);
        pending.swap(timers_->pending);
    }
    // Destroying a timer aborts its wait; the aborted completion finds nothing to run.
}

Scheduler::Token AsioScheduler::schedule(double seconds, std::function<void()> action) {
    auto timer = std::make_unique<asio::steady_timer>(executor_);
    timer->expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(seconds > 0 ? seconds : 0)));
    std::lock_guard lock(timers_->mutex);
    const Token token = timers_->next++;
    timer->async_wait([weak = std::weak_ptr<Timers>(timers_), token,
                       action = std::move(action)](const asio::error_code& error) {
        const auto timers = weak.lock();
        if (error || !timers) {
            return;
        }
        std::unique_ptr<asio::steady_timer> done;
        {
            std::lock_guard lock(timers->mutex);
            const auto found = timers->pending.find(token);
            if (found == timers->pending.end()) {
                return;  // cancelled after it had fired
            }
            done = std::move(found->second);
            timers->pending.erase(found);
        }
        if (action) {
            action();
        }
    });
    timers_->pending.emplace(token, std::move(timer));
    return token;
}

void AsioScheduler::cancel(Token token) {
    std::unique_ptr<asio::steady_timer> timer;
    std::lock_guard lock(timers_->mutex);
    const auto found = timers_->pending.find(token);
    if (found != timers_->pending.end()) {
        timer = std::move(found->second);
        timers_->pending.erase(found);
    }
}

}  // namespace sorvanta
