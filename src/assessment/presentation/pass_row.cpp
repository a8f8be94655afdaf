#include <algorithm>
#include <cmath>
#include <limits>

#include "assessment/presentation/run_presentation.h"
#include "assessment/presentation/window_presentation.h"
#include "assessment/verdict/quality_assessment.h"
#include "assessment/verdict/series_consistency.h"
#include "protocol/quick_profile.h"
#include "protocol/udp_rules.h"

namespace sorvanta {
namespace {

using Phase = SpeedSnapshot::Phase;
using PassKind = WindowPresentation::PassKind;
using PassState = WindowPresentation::PassState;
using Caption = WindowPresentation::Caption;
using Quality = QualityAssessment::Outcome;

constexpr int qualityIndex = 3;
constexpr int duplexIndex = 2;

bool contains(const std::string& text, std::string_view part) {
    return text.find(part) != std::string::npos;
}

// Dips, stalls or a zero median in a direction's series, or resends on its connection.
bool directionConcern(const DirectionMeasurement& direction) {
    if (direction.sample) {
        const auto summary = summarizeSeries(*direction.sample);
        if (!summary.reason && (summary.consecutiveDips > 1 || summary.stalls > 0 ||
                                (summary.median && *summary.median == 0))) {
            return true;
        }
    }
    return direction.transport && direction.transport->hasResendConcern();
}

void markFinding(const ResultAssessment::SpeedFinding& finding, std::map<int, PassState>& out) {
    if (const auto* uneven = std::get_if<ResultAssessment::UnevenSpeeds>(&finding)) {
        out[static_cast<int>(uneven->slowerStage)] = PassState::warning;
    } else if (std::holds_alternative<ResultAssessment::DuplexDrop>(finding)) {
        out[duplexIndex] = PassState::warning;
    } else if (std::holds_alternative<ResultAssessment::LinkBelowAdapters>(finding)) {
        out[0] = out[1] = out[duplexIndex] = PassState::warning;
    } else if (const auto* slower = std::get_if<ResultAssessment::SlowerThanLink>(&finding)) {
        for (auto stage : slower->shortStages) {
            out[static_cast<int>(stage)] = PassState::warning;
        }
    }
}

PassKind kindAt(int index, bool localIsForwardSender) {
    switch (index) {
        case 0:
            return localIsForwardSender ? PassKind::outbound : PassKind::inbound;
        case 1:
            return localIsForwardSender ? PassKind::inbound : PassKind::outbound;
        case 2:
            return PassKind::duplex;
        default:
            return PassKind::quality;
    }
}

double qualityProgress(const RunPresentation& run, const SpeedSnapshot& speed) {
    if (speed.quality.complete || speed.quality.reason) {
        return 1;
    }
    if (speed.qualityLeg) {
        return *speed.qualityLeg == 0 ? 0.3 : 0.7;
    }
    const auto legs = run.completedQualityLegs();
    if (legs == std::set<std::int64_t>{0, 1}) {
        return 1;
    }
    return legs.contains(0) ? 0.7 : 0.3;
}

bool latestLegsClean(const SpeedSnapshot& speed) {
    const auto latest = QualityAssessment::latestAttempts(speed.quality.udp);
    return latest.size() == 2 && WindowPresentation::probeLegsClean(latest);
}

void describe(WindowPresentation::Pass& pass, const SpeedSnapshot& speed,
              const std::optional<Uuid>& localID, const DisplayFormat& format) {
    const auto name = WindowPresentation::kindName(pass.kind);
    pass.detail = name;
    if (pass.state == PassState::pending || pass.state == PassState::running) {
        return;
    }
    const bool failed = pass.state == PassState::failed;
    auto rate = [&](double bps) { return WindowPresentation::rateText(bps, format); };
    switch (pass.kind) {
        case PassKind::outbound:
        case PassKind::inbound:
            if (const auto r = WindowPresentation::directionRate(
                    speed, pass.kind == PassKind::outbound, localID)) {
                pass.detail = name + ": " + rate(*r);
                if (!failed) {
                    pass.caption = Caption{Caption::Kind::rate, *r, 0, {}};
                }
            }
            return;
        case PassKind::duplex:
            if (const auto r = WindowPresentation::duplexRates(speed, localID)) {
                pass.detail = name + ": " + rate(r->first) + " out, " + rate(r->second) + " in";
                if (!failed) {
                    pass.caption = Caption{Caption::Kind::duplex, r->first, r->second, {}};
                }
            }
            return;
        case PassKind::quality:
            break;
    }
    auto text = [](std::string t) { return Caption{Caption::Kind::text, 0, 0, std::move(t)}; };
    switch (pass.state) {
        case PassState::good: {
            const bool clean = latestLegsClean(speed);
            pass.detail = name + (clean ? ": no packet loss" : ": within normal range");
            pass.caption = text(clean ? "No loss" : "Passed");
            break;
        }
        case PassState::warning:
            if (const auto loss = WindowPresentation::probeLoss(speed)) {
                pass.detail =
                    name + ": " + format.groupedInteger(static_cast<std::uint64_t>(loss->first)) +
                    " of " + format.groupedInteger(static_cast<std::uint64_t>(loss->second)) +
                    " packets lost";
                pass.caption =
                    text(format.groupedInteger(static_cast<std::uint64_t>(loss->first)) + " lost");
            } else {
                pass.detail = name + ": needs checking";
                switch (WindowPresentation::interfaceSummary(speed)) {
                    case WindowPresentation::InterfaceSummary::errors:
                        pass.caption = text("Network errors");
                        break;
                    case WindowPresentation::InterfaceSummary::linkChange:
                        pass.caption = text("Link changed");
                        break;
                    case WindowPresentation::InterfaceSummary::drops:
                        pass.caption = text("Packets dropped");
                        break;
                    case WindowPresentation::InterfaceSummary::none:
                        pass.caption = text("Uneven timing");
                        break;
                }
            }
            break;
        case PassState::limited:
            pass.detail = name + ": could only be partly checked";
            pass.caption = text("Partial");
            break;
        default:
            break;
    }
}

}  // namespace

std::string WindowPresentation::kindName(PassKind kind) {
    switch (kind) {
        case PassKind::outbound:
            return "Outbound";
        case PassKind::inbound:
            return "Inbound";
        case PassKind::duplex:
            return "Duplex";
        case PassKind::quality:
            return "Quality";
    }
    return {};
}

std::map<int, PassState> WindowPresentation::concernStates(const SpeedSnapshot& speed,
                                                           const std::optional<Uuid>&) {
    const auto merged = ResultAssessment::shown(speed, speed.run);
    std::map<int, PassState> out;
    if (!merged.quality) {
        return out;
    }
    switch (*merged.quality) {
        case Quality::healthy:
        case Quality::incomplete:
            return out;
        case Quality::udpConcern:
        case Quality::interfaceConcern:
            return {{qualityIndex, PassState::warning}};
        case Quality::limited:
            return {{qualityIndex, PassState::limited}};
        case Quality::tcpConcern:
            break;
    }
    if (merged.finding) {
        markFinding(*merged.finding, out);
    }
    for (const auto& stage : speed.stages) {
        for (const auto& direction : stage.directions) {
            if (directionConcern(direction)) {
                out[static_cast<int>(stage.index)] = PassState::warning;
            }
        }
    }
    if (out.empty()) {
        out[duplexIndex] = PassState::warning;
    }
    const auto probes = QualityAssessment::probeFindings(speed);
    if (probes.lossConcern || probes.timingConcern ||
        !QualityAssessment::interfaceIssues(speed).empty()) {
        out[qualityIndex] = PassState::warning;
    } else if (!speed.quality.complete || probes.latest.size() != 2 ||
               !UDPObservation::allConclusive(probes.latest)) {
        out[qualityIndex] = PassState::limited;
    }
    return out;
}

std::vector<WindowPresentation::Pass> WindowPresentation::passRow(
    const ServiceSnapshot& snapshot, const SpeedSnapshot& speed, const std::optional<Uuid>& localID,
    bool localIsForwardSender, const DisplayFormat& format) {
    std::vector<Pass> out;
    for (int index = 0; index <= qualityIndex; ++index) {
        const auto kind = kindAt(index, localIsForwardSender);
        out.push_back(Pass{kind, PassState::pending, 0, kindName(kind), std::nullopt});
    }
    const RunPresentation run{snapshot, localID};
    if (!speed.run || !run.runMatchesContext()) {
        return out;
    }
    const bool finished = speed.phase == Phase::complete && !speed.busy;
    std::set<int> completed;
    for (const auto& stage : speed.stages) {
        if (!stage.directions.empty() &&
            std::all_of(stage.directions.begin(), stage.directions.end(),
                        [](const auto& d) { return d.complete; })) {
            completed.insert(static_cast<int>(stage.index));
        }
    }
    if (finished) {
        completed.insert(qualityIndex);
    }
    const auto concerns = finished ? concernStates(speed, localID) : std::map<int, PassState>{};
    std::optional<int> failedIndex;
    if (speed.phase == Phase::failed && !speed.busy &&
        !(speed.preparation.required && !speed.preparation.bulkStarted)) {
        if (!completed.contains(static_cast<int>(speed.stage))) {
            failedIndex = static_cast<int>(speed.stage);
        } else if (speed.stage == duplexIndex) {
            failedIndex = qualityIndex;
        }
    }
    std::optional<int> runningIndex;
    double runningProgress = 0;
    if (speed.busy) {
        if (run.progress() == RunPresentation::Progress::quality) {
            runningIndex = qualityIndex;
            runningProgress = qualityProgress(run, speed);
        } else if (const auto stage = run.currentStage()) {
            runningIndex = static_cast<int>(*stage);
            for (const auto& receiver : run.receivers()) {
                runningProgress = std::max(runningProgress, receiver.progress.value_or(0));
            }
        }
    }
    for (int index = 0; index <= qualityIndex; ++index) {
        auto& pass = out[static_cast<std::size_t>(index)];
        if (completed.contains(index)) {
            pass.state = PassState::good;
            pass.progress = 1;
            if (const auto concern = concerns.find(index); concern != concerns.end()) {
                pass.state = concern->second;
            }
        }
        if (runningIndex == index) {
            pass.state = PassState::running;
            pass.progress = runningProgress;
        }
        if (failedIndex == index) {
            pass.state = PassState::failed;
            pass.progress = 1;
        }
        describe(pass, speed, localID, format);
    }
    return out;
}

std::optional<double> WindowPresentation::directionRate(const SpeedSnapshot& speed, bool outbound,
                                                        const std::optional<Uuid>& localID) {
    for (const auto& stage : speed.stages) {
        if (stage.mode == QuickStage::duplex || stage.directions.empty()) {
            continue;
        }
        const auto& first = stage.directions.front();
        if ((first.sender == localID) == outbound) {
            return first.sample ? first.sample->bitsPerSecond() : std::nullopt;
        }
    }
    return std::nullopt;
}

std::optional<std::pair<double, double>> WindowPresentation::duplexRates(
    const SpeedSnapshot& speed, const std::optional<Uuid>& localID) {
    const auto stage = std::find_if(speed.stages.begin(), speed.stages.end(),
                                    [](const auto& s) { return s.index == duplexIndex; });
    if (stage == speed.stages.end()) {
        return std::nullopt;
    }
    auto rateOf = [&](bool local) -> std::optional<double> {
        const auto it = std::find_if(stage->directions.begin(), stage->directions.end(),
                                     [&](const auto& d) { return (d.sender == localID) == local; });
        return it == stage->directions.end() || !it->sample ? std::nullopt
                                                            : it->sample->bitsPerSecond();
    };
    const auto out = rateOf(true);
    const auto in = rateOf(false);
    if (!out || !in) {
        return std::nullopt;
    }
    return std::pair{*out, *in};
}

bool WindowPresentation::probeLegsClean(const std::vector<UDPObservation>& legs) {
    return std::all_of(legs.begin(), legs.end(), [](const UDPObservation& leg) {
        if (!leg.timingUsable() || leg.isLimited()) {
            if (leg.lostDatagrams() != std::optional<std::int64_t>(0) ||
                !leg.send.coversIntendedRange(leg.capacity, leg.plannedSeconds) ||
                leg.duplicates != 0 || leg.rejected != 0 ||
                leg.unique < UDPObservation::minimumConclusiveDatagrams ||
                leg.arrivalSpan < UDPObservation::minimumArrivalShare * leg.plannedSeconds) {
                return false;
            }
        }
        return !leg.countReason &&
               !(leg.reason && contains(*leg.reason, UDPObservation::sequenceRangeMarker)) &&
               udp_rules::passes([&] { leg.validate(); }) && !leg.send.reason &&
               leg.send.failed == 0 && leg.send.accepted > 0 && leg.send.accepted == leg.unique &&
               !contains(leg.receiverPath, UDPObservation::unavailablePathMarker);
    });
}

std::optional<std::pair<std::int64_t, std::int64_t>> WindowPresentation::probeLoss(
    const SpeedSnapshot& speed) {
    std::int64_t lost = 0;
    std::int64_t accepted = 0;
    bool counted = false;
    for (const auto& leg : speed.quality.udp) {
        auto loss = leg.lostDatagrams();
        if (!loss || leg.send.accepted <= 0) {
            continue;
        }
        if (leg.unexplainedHoles) {
            loss = std::min(*loss, *leg.unexplainedHoles);
        }
        if (leg.isSignificantLoss(loss)) {
            lost += *loss;
            accepted += leg.send.accepted;
            counted = true;
        }
    }
    return counted ? std::optional(std::pair{lost, accepted}) : std::nullopt;
}

WindowPresentation::InterfaceSummary WindowPresentation::interfaceSummary(
    const SpeedSnapshot& speed) {
    using Issue = QualityAssessment::InterfaceIssue;
    const auto issues = QualityAssessment::interfaceIssues(speed);
    auto has = [&](Issue issue) {
        return std::find(issues.begin(), issues.end(), issue) != issues.end();
    };
    if (has(Issue::receiveErrors) || has(Issue::transmitErrors)) {
        return InterfaceSummary::errors;
    }
    if (has(Issue::linkChanged)) {
        return InterfaceSummary::linkChange;
    }
    return has(Issue::inputDrops) ? InterfaceSummary::drops : InterfaceSummary::none;
}

std::string WindowPresentation::limitingMacPhrase(const UDPObservation& leg,
                                                  const SpeedSnapshot& speed,
                                                  const std::optional<Uuid>& localID) {
    constexpr double bitsPerDatagram = 1200 * 8;
    constexpr double infinity = std::numeric_limits<double>::infinity();
    const double received =
        leg.arrivalSpan > 0 ? static_cast<double>(leg.unique) * bitsPerDatagram / leg.arrivalSpan
                            : infinity;
    const double seconds = leg.send.seconds;
    const double offered = std::isfinite(seconds) && seconds > 0
                               ? static_cast<double>(leg.send.accepted) * bitsPerDatagram / seconds
                               : infinity;
    bool senderBlamed = false;
    if (leg.senderLimited()) {
        senderBlamed = !leg.receiverLimited() || received >= offered;
    }
    const bool blamedIsLocal = senderBlamed ? leg.sender == localID : leg.sender != localID;
    return (blamedIsLocal ? std::string("This Mac") : speed.preparation.peerName) +
           (senderBlamed ? " couldn\u2019t keep up" : " likely couldn\u2019t keep up");
}

}  // namespace sorvanta
