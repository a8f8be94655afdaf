#pragma once

#include <asio/ip/address.hpp>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/net/network_interface.h"
#include "protocol/quick_profile.h"
#include "protocol/run_end_cause.h"
#include "protocol/speed_message.h"
#include "protocol/speed_snapshot.h"
#include "protocol/tcp_observation.h"
#include "quicktest/quick_test_engines.h"
#include "support/uuid.h"

namespace sorvanta {

// One Quick Test run on this computer, as the network service hosts it. Both computers run
// the same sequencer; `local == initiator` tells the one that asked for the run. The run
// talks to the outside only through its Output function; everything reaches it through
// its bounded inbox and is handled one input at a time on the run's serial executor.
class QuickTest {
  public:
    // What the run reports. After `Ended` it reports nothing more.
    struct Send {
        SpeedMessage message;  // for the peer
    };
    struct Snapshot {
        SpeedSnapshot state;  // the run's new state
    };
    struct Ended {
        SpeedSnapshot state;  // the final state; exactly once, last
    };
    using Output = std::variant<Send, Snapshot, Ended>;
    using Notify = std::function<void(Output)>;

    // Everything the run handles, in inbox order.
    struct Input {
        struct Quality {
            ProbeEvent event;
            Uuid probe;
        };
        struct Reports {
            std::vector<TCPObservation> reports;
            std::int64_t stage = 0;
        };
        struct Message {
            SpeedMessage message;
        };
        struct Bulk {
            BulkEvent event;
            Uuid sender;
            std::int64_t stage = 0;
        };
        struct Check {
            BulkEvent event;
            Uuid owner;
        };
        struct Tick {};
        struct Next {};

        std::variant<Quality, Reports, Message, Bulk, Check, Tick, Next> value;
    };

    static constexpr std::size_t inboxCapacity = 64;

    // What the host knows when it builds a run.
    struct Setup {
        Uuid id;       // the run
        Uuid session;  // the control connection's session
        Uuid local;
        Uuid peer;
        Uuid initiator;
        QuickProfile profile = QuickProfile::quick;
        // The pinned wired interface; a run without one cannot open any connection.
        std::optional<NetworkInterface> interface;
        // The control connection's remote host; data and probe connections dial it.
        asio::ip::address host;
        std::string localName = "This Mac";
        std::string peerName = "Other Mac";
    };

    virtual ~QuickTest() = default;

    // Starts the run once; a second call does nothing. Returns at once.
    virtual void start() = 0;
    // Ends the run with "Incomplete. " + reason: phase failed (or cancelled when `failed`
    // is false), end = cause (default tester when failed, stopped otherwise). Does nothing
    // once the run has ended. Returns at once; `done` runs on the run's executor after the
    // ending (or the decision to do nothing) is complete.
    virtual void fail(std::string reason, bool failed, std::optional<RunEndCause> cause,
                      bool remote, std::function<void()> done = {}) = 0;
    // Hands one peer test message of this run (not request, accept, reject or cancel) to
    // the inbox; false when it was not taken (the run ended or its inbox overflowed).
    virtual bool deliver(SpeedMessage message) = 0;
};

}  // namespace sorvanta
