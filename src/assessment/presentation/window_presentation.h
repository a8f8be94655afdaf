#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "assessment/text/display_format.h"
#include "assessment/verdict/result_assessment.h"
#include "protocol/service_snapshot.h"
#include "support/uuid.h"

namespace sorvanta {

// Everything the main window draws, built afresh from the shown snapshot and the model's two
// timed flags on every render. Pure: no clock, no toolkit, no service.
struct WindowPresentation {
    enum class Flow { chevrons, dots };
    enum class Action { none, test, testAgain, stop, openSettings };
    enum class PassKind { outbound, inbound, duplex, quality };
    enum class PassState { pending, running, good, warning, limited, failed };

    // One animated lane of the band: +1 this Mac sends, -1 the other Mac sends.
    struct Lane {
        int direction = 1;
        Flow flow = Flow::chevrons;
        std::optional<double> rate;
        bool operator==(const Lane&) const = default;
    };

    // The band's rate figure or figures. `outbound` and `inbound` carry one figure each, `both`
    // two; outbound is always the direction in which this Mac sends.
    struct Rates {
        enum class Kind { outbound, inbound, both, none };
        Kind kind = Kind::none;
        std::optional<double> outbound;
        std::optional<double> inbound;
        bool operator==(const Rates&) const = default;
    };

    // A pass tile's short caption: one rate (in `outbound`), a duplex pair, or a text.
    struct Caption {
        enum class Kind { rate, duplex, text };
        Kind kind = Kind::text;
        double outbound = 0;
        double inbound = 0;
        std::string text;
        bool operator==(const Caption&) const = default;
    };

    struct Pass {
        PassKind kind = PassKind::outbound;
        PassState state = PassState::pending;
        double progress = 0;
        std::string detail;
        std::optional<Caption> caption;
        bool operator==(const Pass&) const = default;
    };

    enum class InterfaceSummary { errors, linkChange, drops, none };

    bool connected = false;
    std::optional<std::string> centerText;
    bool working = false;
    std::optional<std::string> linkCaption;
    std::vector<Lane> lanes;
    Rates rates;
    bool outboundWarning = false;
    bool inboundWarning = false;
    std::vector<Pass> passes;
    std::string line;
    Action action = Action::none;
    std::optional<std::string> peerName;
    std::optional<std::string> peerModel;
    std::optional<std::uint64_t> localPort;
    std::optional<std::uint64_t> peerPort;
    bool noLocalPort = false;
    bool localPortStarting = false;
    bool blocked = false;

    bool operator==(const WindowPresentation&) const = default;

    // `settling`: shortly after Search Again or an interface change; `adapterArriving`:
    // shortly after a new adapter appeared.
    WindowPresentation(const ServiceSnapshot& snapshot, const std::optional<Uuid>& localID,
                       bool settling, bool adapterArriving,
                       const DisplayFormat& format = DisplayFormat::current());

    // The band's guidance when the Macs are not connected, and whether it shows progress.
    static std::pair<std::string, bool> guidance(const ServiceSnapshot& snapshot, bool settling);

    static std::string connectionErrorText(SetupIssue issue, const std::string& peer, bool remote);

    // --- The pass row and the result lines.

    static std::string kindName(PassKind kind);

    // Pass index (0 forward, 1 reverse, 2 duplex, 3 quality) → the concern a finished run
    // shows on that tile.
    static std::map<int, PassState> concernStates(const SpeedSnapshot& speed,
                                                  const std::optional<Uuid>& localID);

    static std::vector<Pass> passRow(const ServiceSnapshot& snapshot, const SpeedSnapshot& speed,
                                     const std::optional<Uuid>& localID, bool localIsForwardSender,
                                     const DisplayFormat& format = DisplayFormat::current());

    static std::optional<double> directionRate(const SpeedSnapshot& speed, bool outbound,
                                               const std::optional<Uuid>& localID);
    static std::optional<std::pair<double, double>> duplexRates(const SpeedSnapshot& speed,
                                                                const std::optional<Uuid>& localID);

    static std::string resultLine(const SpeedSnapshot& speed, const std::optional<Uuid>& localID,
                                  std::optional<double> outbound, std::optional<double> inbound,
                                  const DisplayFormat& format = DisplayFormat::current());
    static std::string failureLine(const SpeedSnapshot& speed);

    // Whole megabits below 1 Gbps, gigabits with 0 to 2 fraction digits from there.
    static std::string rateText(double bitsPerSecond,
                                const DisplayFormat& format = DisplayFormat::current());

    static bool probeLegsClean(const std::vector<UDPObservation>& legs);
    // Lost and accepted datagrams over the legs whose loss counts.
    static std::optional<std::pair<std::int64_t, std::int64_t>> probeLoss(
        const SpeedSnapshot& speed);
    static InterfaceSummary interfaceSummary(const SpeedSnapshot& speed);
    static std::string limitingMacPhrase(const UDPObservation& leg, const SpeedSnapshot& speed,
                                         const std::optional<Uuid>& localID);
};

}  // namespace sorvanta
