#pragma once

#include <functional>
#include <mutex>

#include "platform/net/network_executor.h"
#include "platform/net/transport_state.h"

namespace sorvanta {

// A listener's current state, readable from any thread, and the owner's handler that hears of
// each change.
class ListenerStateKeeper {
  public:
    using Handler = std::function<void(const ListenerState&)>;

    void setHandler(Handler handler) { handler_ = std::move(handler); }

    ListenerState current() const;
    // The port while ready, else 0.
    std::uint16_t port() const;

    // Records `state`; when it differs from the last one, tells the handler while `gate` is
    // open. Call on the listener's executor.
    void update(const ListenerState& state, const HandlerGate& gate);
    // Records the cancelled state without telling anyone.
    void markCancelled();

  private:
    Handler handler_;
    mutable std::mutex mutex_;
    ListenerState state_;
};

}  // namespace sorvanta
