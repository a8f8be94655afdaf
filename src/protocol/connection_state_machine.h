#pragma once

#include "protocol/connection_state.h"

namespace sorvanta {

// The handshake state of one control connection. The session moves it from connecting to
// ready; the service sets cancelled when it closes the connection.
struct ConnectionStateMachine {
    ConnectionState state = ConnectionState::connecting;

    bool operator==(const ConnectionStateMachine&) const = default;
};

}  // namespace sorvanta
