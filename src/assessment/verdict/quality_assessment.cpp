#include "assessment/verdict/quality_assessment.h"

#include <algorithm>
#include <set>

#include "assessment/text/peer_text.h"
#include "assessment/verdict/lower_rate_plan.h"
#include "assessment/verdict/result_assessment.h"
#include "assessment/verdict/series_consistency.h"
#include "protocol/udp_rules.h"

namespace sorvanta {
namespace {

using Outcome = QualityAssessment::Outcome;
using TCPIssue = QualityAssessment::TCPIssue;

constexpr double firstAttemptSeconds = 3.0;
constexpr double lowerRateMinimum = 50'000'000;
constexpr double highJitterConcern = 0.5;
constexpr std::size_t expectedDirections = 4;

constexpr const char* partlyAssessed = "Quality partly assessed";
constexpr const char* needsAttention = "Connection needs attention";
constexpr const char* alsoUdpConcern = " The extra quality check also found concerns.";
constexpr const char* limitedSuffix = " Some supporting evidence is limited; see Details.";

QualityAssessment make(Outcome outcome, std::string title, std::string explanation,
                       std::optional<TCPIssue> issue = std::nullopt) {
    return {outcome, std::move(title), std::move(explanation), issue};
}

// The Macs that send in a single-direction stage.
std::set<Uuid> singleDirectionSenders(const SpeedSnapshot& speed) {
    std::set<Uuid> senders;
    for (const auto& stage : speed.stages) {
        if (stage.mode != QuickStage::duplex) {
            for (const auto& direction : stage.directions) {
                senders.insert(direction.sender);
            }
        }
    }
    return senders;
}

// Loss the receiver's own delayed service explains (all loss counts as unexplained when
// the peer gives no hole count).
std::optional<std::int64_t> explainedLoss(const UDPObservation& leg) {
    const auto lost = leg.lostDatagrams();
    if (!lost) {
        return std::nullopt;
    }
    const auto unexplained = leg.unexplainedHoles ? std::min(*leg.unexplainedHoles, *lost) : *lost;
    return *lost - unexplained;
}

bool isConclusive(const UDPObservation& leg) {
    const UDPObservation one[] = {leg};
    return UDPObservation::allConclusive(one);
}

// Whether the leg's rate plan is the one the run asked for.
bool hasPlannedRate(const UDPObservation& leg, const SpeedSnapshot& speed) {
    if (leg.attempt == 0) {
        const auto capacity = StageMeasurement::senderCapacity(leg.sender, speed.stages);
        return capacity && *capacity == leg.capacity && leg.plannedSeconds == firstAttemptSeconds;
    }
    const auto& all = speed.quality.udp;
    const auto first = std::find_if(
        all.begin(), all.end(), [&](const auto& o) { return o.leg == leg.leg && o.attempt == 0; });
    if (first == all.end()) {
        return false;
    }
    const auto plan = lowerRatePlan(*first, lowerRateMinimum);
    return plan && plan->capacity == leg.capacity && plan->plannedSeconds == leg.plannedSeconds;
}

bool isKept(const UDPObservation& leg, const SpeedSnapshot& speed, const std::set<Uuid>& senders) {
    if (leg.run != *speed.run || leg.session != *speed.quality.session ||
        !senders.contains(leg.sender)) {
        return false;
    }
    const auto stage = std::find_if(speed.stages.begin(), speed.stages.end(),
                                    [&](const auto& s) { return s.index == leg.leg; });
    if (stage == speed.stages.end() || stage->directions.empty() ||
        stage->directions.front().sender != leg.sender) {
        return false;
    }
    return udp_rules::passes([&] { leg.validate(); }) && hasPlannedRate(leg, speed);
}

class Assessor {
  public:
    Assessor(const SpeedSnapshot& speed, const ResultAssessment& verdict)
        : speed_(speed), verdict_(verdict), senders_(singleDirectionSenders(speed)) {}

    QualityAssessment assess() {
        if (speed_.phase != SpeedSnapshot::Phase::complete || speed_.busy ||
            verdict_.outcome == ResultAssessment::Outcome::incomplete) {
            return make(Outcome::incomplete, verdict_.title, verdict_.explanation);
        }
        if (verdict_.outcome == ResultAssessment::Outcome::warning) {
            concerns_.emplace_back(TCPIssue::speed, verdict_.title + ". " + verdict_.explanation);
        }
        limitation_ = verdict_.outcome == ResultAssessment::Outcome::inconclusive
                          ? std::optional<std::string>(verdict_.explanation)
                          : std::nullopt;
        if (speed_.quality.reason) {
            limit(*speed_.quality.reason);
        }
        if (!speed_.run) {
            return make(Outcome::limited, partlyAssessed,
                        "The recorded run identity is unavailable.");
        }
        checkTcp();
        checkUdp();
        return conclude();
    }

  private:
    // Limitations may quote the other Mac's reasons, which are shown as they are.
    void limit(std::string_view text) {
        if (!limitation_) {
            limitation_ = cleanPeerText(text);
        }
    }

    void checkTcp() {
        std::vector<std::pair<const DirectionMeasurement*, std::int64_t>> directions;
        for (const auto& stage : speed_.stages) {
            for (const auto& direction : stage.directions) {
                directions.emplace_back(&direction, stage.index);
            }
        }
        std::set<Uuid> connections;
        for (const auto& [direction, index] : directions) {
            if (direction->transport) {
                connections.insert(direction->transport->connection);
            }
        }
        if (connections.size() != expectedDirections) {
            limit("TCP load connection report identities are missing or repeated.");
        }
        if (directions.size() != expectedDirections) {
            limitation_ = "TCP directional evidence is incomplete.";
        }
        for (const auto& [direction, index] : directions) {
            checkDirection(*direction, index);
        }
    }

    void checkDirection(const DirectionMeasurement& direction, std::int64_t stage) {
        if (!direction.sample) {
            limit("A receiver series is unavailable.");
        } else {
            const auto summary = summarizeSeries(*direction.sample);
            if (summary.reason) {
                limit(*summary.reason);
            } else if (summary.consecutiveDips >= 2 || summary.stalls >= 1 ||
                       (summary.median && *summary.median == 0)) {
                concerns_.emplace_back(TCPIssue::dips,
                                       "Speed dipped or stalled during a measured interval.");
            }
        }
        const auto& report = direction.transport;
        if (!report || !speed_.quality.session || !udp_rules::passes([&] {
                report->validate(*speed_.run, *speed_.quality.session, direction.sender, stage);
            })) {
            limit("A matching TCP sender report is unavailable.");
            return;
        }
        if (report->hasResendConcern()) {
            concerns_.emplace_back(TCPIssue::resends, "Some TCP data needed resending.");
        }
        const auto& window = report->window;
        const bool windowUsable = window && window->sent != 0 && report->sent >= window->sent &&
                                  report->retransmitted >= window->retransmitted;
        if ((windowUsable ? window->retransmitted : report->retransmitted) != 0) {
            resent_ = true;
        }
        if (!report->resendPercent()) {
            limit(report->reason.value_or("TCP sender counters are unavailable."));
        }
    }

    void checkUdp() {
        auto findings = QualityAssessment::probeFindings(speed_);
        latest_ = std::move(findings.latest);
        lossConcern_ = findings.lossConcern;
        timingConcern_ = findings.timingConcern;
    }

    std::string evidenceSuffix() const {
        return std::all_of(latest_.begin(), latest_.end(), isConclusive) ? "" : limitedSuffix;
    }

    QualityAssessment conclude() const {
        const bool udpConcern = lossConcern_ || timingConcern_;
        const auto issues = QualityAssessment::interfaceIssues(speed_);
        std::set<std::string_view> distinct;
        for (auto issue : issues) {
            distinct.insert(QualityAssessment::text(issue));
        }
        std::string issueText;
        for (auto text : distinct) {
            issueText += (issueText.empty() ? "" : "; ") + std::string(text);
        }

        if (!concerns_.empty()) {
            std::string explanation = concerns_.front().second;
            if (udpConcern) {
                explanation += alsoUdpConcern;
            }
            explanation += limitation_ ? limitedSuffix : evidenceSuffix();
            if (!issues.empty()) {
                explanation += " " + issueText + "; see Details.";
            }
            return make(Outcome::tcpConcern, needsAttention, explanation, concerns_.front().first);
        }
        if (!issues.empty()) {
            return make(Outcome::interfaceConcern, needsAttention,
                        issueText + " during this test; this does not establish a cable fault." +
                            (udpConcern ? alsoUdpConcern : "") + evidenceSuffix());
        }
        if (udpConcern) {
            return make(
                Outcome::udpConcern, "Quality needs checking",
                std::string(lossConcern_ ? "TCP speed was good; packets went missing in the extra "
                                           "quality check that the receiving Mac\u2019s own buffer "
                                           "doesn\u2019t explain. The cause was not established."
                                         : "TCP speed was good; the extra quality check found "
                                           "arrival timing variation.") +
                    evidenceSuffix());
        }
        if (!isHealthy()) {
            return make(Outcome::limited, partlyAssessed, limitationText());
        }
        return make(Outcome::healthy, "Connection looks healthy in this quick test",
                    healthyExplanation());
    }

    bool isHealthy() const {
        if (!speed_.quality.complete || latest_.size() != 2) {
            return false;
        }
        std::set<Uuid> legSenders;
        std::set<std::int64_t> legs;
        for (const auto& leg : latest_) {
            legSenders.insert(leg.sender);
            legs.insert(leg.leg);
        }
        return legSenders == senders_ && legs == std::set<std::int64_t>{0, 1} &&
               UDPObservation::allConclusive(latest_) && !limitation_;
    }

    std::string limitationText() const {
        if (limitation_) {
            return *limitation_;
        }
        const auto open = std::find_if(latest_.begin(), latest_.end(),
                                       [](const auto& leg) { return !isConclusive(leg); });
        if (open != latest_.end()) {
            if (auto sentence = QualityAssessment::limitationSentence(*open)) {
                return *sentence;
            }
        }
        return "The extra quality check did not cover its intended load/timing range.";
    }

    std::string healthyExplanation() const {
        const bool small =
            resent_ || std::any_of(latest_.begin(), latest_.end(), [](const auto& l) {
                const auto lost = l.lostDatagrams();
                return l.noReceiverOverruns() && lost && *lost > 0;
            });
        std::vector<const UDPObservation*> reruns;
        for (const auto& leg : latest_) {
            if (leg.attempt > 0) {
                reruns.push_back(&leg);
            }
        }
        if (reruns.empty()) {
            return small ? "Speed stayed steady. Small resend or missed-packet observations "
                           "stayed below this test\u2019s concern thresholds; see Details."
                         : "Speed stayed steady; no resends or missed probe packets were "
                           "observed.";
        }
        const bool receiverDropped = std::any_of(reruns.begin(), reruns.end(), [&](const auto* r) {
            return std::any_of(speed_.quality.udp.begin(), speed_.quality.udp.end(),
                               [&](const auto& o) {
                                   return o.leg == r->leg && o.attempt == 0 &&
                                          o.isSignificantLoss(explainedLoss(o));
                               });
        });
        return std::string("Speed stayed steady. Packets ") +
               (receiverDropped ? "most likely dropped by the slower Mac\u2019s own buffer"
                                : "the slower Mac couldn\u2019t send") +
               " don\u2019t count against the cable; anything else stayed below this test\u2019s "
               "thresholds; see Details. The packet check re-ran at a lower rate in " +
               (reruns.size() == latest_.size() ? "both directions" : "one direction") +
               " because a Mac " + (receiverDropped ? "likely couldn\u2019t" : "couldn\u2019t") +
               " keep up; the cable was judged at that rate.";
    }

    const SpeedSnapshot& speed_;
    const ResultAssessment& verdict_;
    const std::set<Uuid> senders_;
    std::vector<std::pair<TCPIssue, std::string>> concerns_;
    std::optional<std::string> limitation_;
    bool resent_ = false;
    std::vector<UDPObservation> latest_;
    bool lossConcern_ = false;
    bool timingConcern_ = false;
};

}  // namespace

QualityAssessment QualityAssessment::assess(const SpeedSnapshot& speed,
                                            const ResultAssessment& verdict) {
    return Assessor(speed, verdict).assess();
}

std::vector<QualityAssessment::InterfaceIssue> QualityAssessment::interfaceIssues(
    const SpeedSnapshot& speed) {
    std::vector<InterfaceIssue> issues;
    if (!speed.run || !speed.quality.session) {
        return issues;
    }
    const auto senders = singleDirectionSenders(speed);
    for (const auto& evidence : speed.quality.ethernet) {
        if (!senders.contains(evidence.participant) || !udp_rules::passes([&] {
                evidence.validate(*speed.run, *speed.quality.session, evidence.participant);
            })) {
            continue;
        }
        const auto rose = [&](auto counter) {
            const auto delta = evidence.delta(counter);
            return delta && *delta != 0;
        };
        if (rose(&EthernetCounterSnapshot::rxErrors)) {
            issues.push_back(InterfaceIssue::receiveErrors);
        }
        if (rose(&EthernetCounterSnapshot::txErrors)) {
            issues.push_back(InterfaceIssue::transmitErrors);
        }
        if (rose(&EthernetCounterSnapshot::inputDrops)) {
            issues.push_back(InterfaceIssue::inputDrops);
        }
        if (evidence.linkChanged()) {
            issues.push_back(InterfaceIssue::linkChanged);
        }
    }
    return issues;
}

QualityAssessment::ProbeFindings QualityAssessment::probeFindings(const SpeedSnapshot& speed) {
    ProbeFindings findings;
    if (!speed.run || !speed.quality.session) {
        return findings;
    }
    const auto senders = singleDirectionSenders(speed);
    std::vector<UDPObservation> kept;
    for (const auto& leg : speed.quality.udp) {
        if (isKept(leg, speed, senders)) {
            kept.push_back(leg);
        }
    }
    findings.latest = latestAttempts(kept);
    findings.lossConcern = std::any_of(kept.begin(), kept.end(),
                                       [](const auto& leg) { return leg.hasUnexplainedLoss(); });
    findings.timingConcern =
        std::any_of(findings.latest.begin(), findings.latest.end(), [](const auto& leg) {
            return leg.timingUsable() && !leg.isLimited() &&
                   leg.highJitterSeconds >= highJitterConcern;
        });
    return findings;
}

std::string_view QualityAssessment::text(InterfaceIssue issue) {
    switch (issue) {
        case InterfaceIssue::receiveErrors:
            return "Receive errors increased";
        case InterfaceIssue::transmitErrors:
            return "Transmit errors increased";
        case InterfaceIssue::inputDrops:
            return "Input drops increased";
        case InterfaceIssue::linkChanged:
            return "Driver-reported carrier or active link rate changed";
    }
    return {};
}

std::vector<UDPObservation> QualityAssessment::latestAttempts(
    std::span<const UDPObservation> legs) {
    std::vector<UDPObservation> latest;
    for (const auto& leg : legs) {
        const auto same = std::find_if(latest.begin(), latest.end(),
                                       [&](const auto& kept) { return kept.leg == leg.leg; });
        if (same == latest.end()) {
            latest.push_back(leg);
        } else if (leg.attempt > same->attempt) {
            *same = leg;
        }
    }
    std::stable_sort(latest.begin(), latest.end(),
                     [](const auto& a, const auto& b) { return a.leg < b.leg; });
    return latest;
}

std::optional<std::string> QualityAssessment::limitationSentence(const UDPObservation& leg) {
    const bool receiver = leg.receiverLimited();
    if (receiver || leg.senderLimited()) {
        return std::string(receiver ? "The receiving Mac likely couldn\u2019t keep up with the "
                                      "extra quality check"
                                    : "The sending Mac couldn\u2019t offer the extra quality "
                                      "check\u2019s load") +
               (leg.attempt > 0 ? ", even at a lower rate" : "") +
               "; it says nothing about the cable.";
    }
    if (!leg.receiveCoverage) {
        return "Receiver service coverage unavailable from this peer.";
    }
    if (leg.reason) {
        return leg.reason;
    }
    if (leg.timingReason) {
        return leg.timingReason;
    }
    return leg.send.reason;
}

}  // namespace sorvanta
