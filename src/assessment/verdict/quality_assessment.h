#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/speed_snapshot.h"
#include "protocol/udp_observation.h"

namespace sorvanta {

struct ResultAssessment;

// Whether a finished run shows signs of an unreliable connection, or evidence too weak to
// judge: dips in the receiver series, TCP resends, lost or late probe datagrams, rising
// interface counters and link changes.
struct QualityAssessment {
    enum class Outcome { healthy, tcpConcern, udpConcern, interfaceConcern, limited, incomplete };

    // Which TCP finding came first.
    enum class TCPIssue { speed, dips, resends };

    enum class InterfaceIssue { receiveErrors, transmitErrors, inputDrops, linkChanged };

    Outcome outcome = Outcome::incomplete;
    std::string title;
    std::string explanation;
    // Present only with `tcpConcern`.
    std::optional<TCPIssue> tcpIssue;

    bool operator==(const QualityAssessment&) const = default;

    // The quality verdict of `speed`, given the speed verdict computed for the same snapshot.
    static QualityAssessment assess(const SpeedSnapshot& speed, const ResultAssessment& verdict);

    // The counter rises and link changes that validated evidence of the run's two Macs
    // recorded, Mac by Mac in record order (an issue may appear once per Mac).
    static std::vector<InterfaceIssue> interfaceIssues(const SpeedSnapshot& speed);

    static std::string_view text(InterfaceIssue issue);

    // What the verdict makes of the run's kept probe legs: the latest attempt of each leg,
    // and whether some leg lost datagrams its receiver does not explain or a latest leg's
    // timing was uneven. The window's tiles read this so that they agree with the verdict.
    struct ProbeFindings {
        std::vector<UDPObservation> latest;
        bool lossConcern = false;
        bool timingConcern = false;
    };
    static ProbeFindings probeFindings(const SpeedSnapshot& speed);

    // For each leg present, the observation of its highest attempt (the earliest among
    // equals), ordered by leg.
    static std::vector<UDPObservation> latestAttempts(std::span<const UDPObservation> legs);

    // Why one leg cannot support a conclusion, when it says.
    static std::optional<std::string> limitationSentence(const UDPObservation& leg);
};

}  // namespace sorvanta
