#include <algorithm>
#include <cmath>

#include "assessment/presentation/window_presentation.h"
#include "assessment/verdict/quality_assessment.h"

namespace sorvanta {
namespace {

using Quality = QualityAssessment::Outcome;
using Outcome = ResultAssessment::Outcome;

constexpr double bitsPerDatagram = 1200 * 8;
// The first attempt of a leg offers this share of its capacity.
constexpr double firstAttemptShare = 0.75;
constexpr std::string_view performanceSuffix = " performance";

std::string healthyLine(const ResultAssessment& m, const SpeedSnapshot& speed,
                        const std::optional<Uuid>& localID, const DisplayFormat& format) {
    const auto latest = QualityAssessment::latestAttempts(speed.quality.udp);
    const bool clean = latest.size() == 2 && WindowPresentation::probeLegsClean(latest);
    const auto rerun =
        std::find_if(latest.begin(), latest.end(), [](const auto& leg) { return leg.attempt > 0; });
    if (rerun != latest.end()) {
        const auto& all = speed.quality.udp;
        const auto first = std::find_if(all.begin(), all.end(), [&](const auto& o) {
            return o.leg == rerun->leg && o.attempt == 0;
        });
        const double seconds = rerun->send.seconds;
        if (first != all.end() && std::isfinite(seconds) && seconds > 0) {
            const double rerunRate =
                static_cast<double>(rerun->send.accepted) * bitsPerDatagram / seconds;
            return std::string(clean ? "No packet loss at " : "Packet check passed at ") +
                   WindowPresentation::rateText(rerunRate, format) + " \u2014 " +
                   WindowPresentation::limitingMacPhrase(*first, speed, localID) + " at " +
                   WindowPresentation::rateText(firstAttemptShare * first->capacity, format) + ".";
        }
    }
    std::string line = "Steady both ways.";
    if (m.outcome == Outcome::passed && m.performance) {
        std::string base = *m.performance;
        if (base.ends_with(performanceSuffix)) {
            base.resize(base.size() - performanceSuffix.size());
        }
        line = base + " speed both ways.";
    }
    return clean ? line + " No packet loss." : line;
}

std::string tcpLine(const ResultAssessment& m, const SpeedSnapshot& speed,
                    const std::optional<Uuid>& localID, std::optional<double> outbound,
                    std::optional<double> inbound, const DisplayFormat& format) {
    auto rate = [&](double bps) { return WindowPresentation::rateText(bps, format); };
    const auto& peer = speed.preparation.peerName;
    if (!m.finding) {
        return m.tcpIssue == QualityAssessment::TCPIssue::resends ? "Some data needed resending."
                                                                  : "Speed dipped during the test.";
    }
    if (std::holds_alternative<ResultAssessment::UnevenSpeeds>(*m.finding)) {
        if (!outbound || !inbound) {
            return "The two directions ran at different speeds.";
        }
        const bool outboundSlower = *outbound <= *inbound;
        return std::string(outboundSlower ? "Outbound" : "Inbound") +
               " was the slower direction: " + rate(std::min(*outbound, *inbound)) + " vs " +
               rate(std::max(*outbound, *inbound)) + ".";
    }
    if (const auto* drop = std::get_if<ResultAssessment::DuplexDrop>(&*m.finding)) {
        using Kind = ResultAssessment::DuplexCause::Kind;
        switch (drop->cause.kind) {
            case Kind::cleanCeiling:
                return "Speed drops when both directions run at once; no resends detected \u2014 "
                       "more likely a Mac\u2019s limit than the cable.";
            case Kind::unexplained:
                return "Speed drops when both directions run at once.";
            case Kind::lowPower: {
                const auto& macs = drop->cause.macs;
                const std::string who = macs.size() > 1 ? "both Macs were"
                                        : !macs.empty() && macs.front() == localID ? "this Mac was"
                                                                                   : peer + " was";
                return "Speed drops when both directions run at once \u2014 " + who +
                       " in Low Power Mode.";
            }
        }
    }
    if (const auto* below = std::get_if<ResultAssessment::LinkBelowAdapters>(&*m.finding)) {
        return "Connected at " + rate(below->link) + ", though both adapters support " +
               rate(below->adapters) + " \u2014 check the cable.";
    }
    const auto& slower = std::get<ResultAssessment::SlowerThanLink>(*m.finding);
    if (slower.usb2Mac) {
        return "Slower than the " + rate(slower.link) + " link \u2014 " +
               (*slower.usb2Mac == localID ? std::string("this Mac") : peer) +
               "\u2019s adapter is on USB 2.";
    }
    if (outbound && inbound) {
        return "Slower than the " + rate(slower.link) + " link: " + rate(*outbound) + " out, " +
               rate(*inbound) + " in.";
    }
    return "Slower than the reported link speed.";
}

}  // namespace

std::string WindowPresentation::resultLine(const SpeedSnapshot& speed,
                                           const std::optional<Uuid>& localID,
                                           std::optional<double> outbound,
                                           std::optional<double> inbound,
                                           const DisplayFormat& format) {
    const auto m = ResultAssessment::shown(speed, speed.run, format);
    if (!m.quality || *m.quality == Quality::incomplete) {
        return speed.phase == SpeedSnapshot::Phase::cancelled
                   ? "Test stopped."
                   : "The test stopped before it finished.";
    }
    switch (*m.quality) {
        case Quality::healthy:
            return healthyLine(m, speed, localID, format);
        case Quality::tcpConcern:
            return tcpLine(m, speed, localID, outbound, inbound, format);
        case Quality::udpConcern:
            if (const auto loss = probeLoss(speed)) {
                return "Some packets were lost: " +
                       format.groupedInteger(static_cast<std::uint64_t>(loss->first)) + " of " +
                       format.groupedInteger(static_cast<std::uint64_t>(loss->second)) + ".";
            }
            return "Packet timing was uneven.";
        case Quality::interfaceConcern:
            switch (interfaceSummary(speed)) {
                case InterfaceSummary::linkChange:
                    return "The link changed during the test.";
                case InterfaceSummary::drops:
                    return "A Mac dropped incoming packets during the test.";
                default:
                    return "Network errors increased during the test.";
            }
        default: {
            const auto latest = QualityAssessment::latestAttempts(speed.quality.udp);
            const auto limited = std::find_if(latest.begin(), latest.end(),
                                              [](const auto& leg) { return leg.isLimited(); });
            if (limited != latest.end()) {
                return limitingMacPhrase(*limited, speed, localID) + " with the packet check.";
            }
            return m.outcome == Outcome::inconclusive && m.speedOutcome == Outcome::inconclusive
                       ? "The measurements were incomplete."
                       : "Quality could only be partly checked.";
        }
    }
}

std::string WindowPresentation::failureLine(const SpeedSnapshot& speed) {
    std::string text = "The test stopped before it finished.";
    if (speed.end == RunEndCause::connection) {
        text = "The connection dropped during the test.";
    } else if (speed.end == RunEndCause::tester) {
        text = speed.endedRemotely ? speed.preparation.peerName + " couldn\u2019t finish the test."
                                   : "Sorvanta couldn\u2019t finish the test.";
    }
    return text + " Details has the reason.";
}

}  // namespace sorvanta
