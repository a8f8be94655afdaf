#include "platform/net/listener_state_keeper.h"

namespace sorvanta {

ListenerState ListenerStateKeeper::current() const {
    std::lock_guard lock(mutex_);
    return state_;
}

std::uint16_t ListenerStateKeeper::port() const {
    const auto state = current();
    return state.kind == ListenerState::Kind::ready ? state.port : 0;
}

void ListenerStateKeeper::update(const ListenerState& state, const HandlerGate& gate) {
    {
        std::lock_guard lock(mutex_);
        if (state_ == state) {
            return;
        }
        state_ = state;
    }
    if (gate.isOpen() && handler_) {
        handler_(state);
    }
}

void ListenerStateKeeper::markCancelled() {
    std::lock_guard lock(mutex_);
    state_ = {ListenerState::Kind::cancelled, {}, 0};
}

}  // namespace sorvanta
