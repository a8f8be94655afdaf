#pragma once

#include <asio/error_code.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <memory>

namespace sorvanta {

// How long connections and listeners wait before they try again.
constexpr auto retryDelay = std::chrono::seconds(1);

// Calls `attempt` on the owner after retryDelay, unless the timer is cancelled or re-armed
// first or the owner is gone by then.
template <class Owner>
void scheduleRetry(asio::steady_timer& timer, std::weak_ptr<Owner> owner,
                   void (Owner::*attempt)()) {
    timer.expires_after(retryDelay);
    timer.async_wait([owner = std::move(owner), attempt](const asio::error_code& error) {
        if (auto self = owner.lock(); self && !error) {
            ((*self).*attempt)();
        }
    });
}

}  // namespace sorvanta
