#pragma once

#include <asio/ip/address.hpp>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/net/network_interface.h"
#include "protocol/quick_profile.h"
#include "protocol/run_end_cause.h"
#include "protocol/speed_message.h"
#include "protocol/speed_snapshot.h"
#include "support/uuid.h"

namespace sorvanta {

// The engine of one run on this Mac, as the network service sees it. The service builds it
// through a factory, starts it once, feeds it the other Mac's messages of the run and stops
// it once; the engine reports through its notify closure.
class QuickTest {
  public:
    struct Output {
        enum class Kind { send, snapshot, ended };
        Kind kind = Kind::snapshot;
        // For send.
        std::optional<SpeedMessage> message;
        // For snapshot and ended (the final state).
        SpeedSnapshot state;
    };
    using Notify = std::function<void(Output)>;

    // Everything the engine is built from.
    struct Setup {
        Uuid id;
        Uuid session;
        Uuid local;
        Uuid peer;
        Uuid initiator;
        QuickProfile profile = QuickProfile::quick;
        std::optional<NetworkInterface> interface;
        asio::ip::address host;
        std::string localName;
        std::string peerName;
        // Called on any thread; only enqueues.
        Notify notify;
    };

    virtual ~QuickTest() = default;
    // Starts the run on this Mac.
    virtual void start() = 0;
    // Puts one of the other Mac's messages of the run into the engine's inbox.
    virtual void deliver(SpeedMessage message) = 0;
    // Ends the run unless it has ended (phase failed when `failed`, else cancelled; the status
    // "Incomplete. " and the reason), stops its work, reports ended and then calls `done`
    // once with the final state, on any thread.
    virtual void fail(std::string reason, bool failed, std::optional<RunEndCause> cause,
                      bool remote, std::function<void(SpeedSnapshot)> done) = 0;
};

using QuickTestFactory = std::function<std::shared_ptr<QuickTest>(QuickTest::Setup)>;

}  // namespace sorvanta
