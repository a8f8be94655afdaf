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
    // What the run reports. After `ended` it reports nothing more.
    struct Output {
        enum class Kind { send, snapshot, ended };
        Kind kind = Kind::snapshot;
        // For send: the message for the peer.
        std::optional<SpeedMessage> message;
        // For snapshot the run's new state, for ended its final state (exactly once, last);
        // for send the idle snapshot (a message carries no state).
        SpeedSnapshot state;
    };
    using Notify = std::function<void(Output)>;

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
        // Called on the run's executor; must only hand the output on.
        Notify notify;
    };

    // Everything the sequencer handles, in inbox order.
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

    virtual ~QuickTest() = default;

    // Starts the run once; a second call does nothing. Returns at once.
    virtual void start() = 0;
    // Hands one peer test message of this run (not request, accept, reject or cancel) to
    // the inbox; dropped once the run has ended.
    virtual void deliver(SpeedMessage message) = 0;
    // Ends the run unless it has ended, with `incompleteStatus(reason)`: phase failed (or
    // cancelled when `failed` is false), end = cause (default tester when failed, stopped
    // otherwise). Returns at once; reports `ended`, then calls `done` once with the final
    // state (also when the run had already ended), on the run's executor, never before
    // every engine of the run has stopped.
    virtual void fail(std::string reason, bool failed, std::optional<RunEndCause> cause,
                      bool remote, std::function<void(SpeedSnapshot)> done) = 0;
};

using QuickTestFactory = std::function<std::shared_ptr<QuickTest>(QuickTest::Setup)>;

}  // namespace sorvanta
