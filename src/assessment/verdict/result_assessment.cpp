#include "assessment/verdict/result_assessment.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "assessment/verdict/speed_evidence.h"
#include "protocol/protocol_failure.h"

namespace sorvanta {
namespace {

using Outcome = ResultAssessment::Outcome;

struct PerformanceClass {
    double nominal;
    const char* text;
};

constexpr std::array<PerformanceClass, 6> performanceClasses{{
    {10'000'000, "10 Mbps-class performance"},
    {100'000'000, "100 Mbps-class performance"},
    {1'000'000'000, "Gigabit-class performance"},
    {2'500'000'000, "2.5 Gbps-class performance"},
    {5'000'000'000, "5 Gbps-class performance"},
    {10'000'000'000, "10 Gbps-class performance"},
}};

constexpr double classLow = 0.9;
constexpr double classHigh = 1.05;
constexpr double unevenShare = 0.8;
constexpr double droppedShare = 0.8;
constexpr double shortOfLinkShare = 0.9;
constexpr double gigabit = 1'000'000'000;
constexpr double usb2Bus = 480'000'000;
constexpr double minimumMeasuredSeconds = 10.0;

constexpr const char* needsInspection = "Results need inspection";

bool fits(double rate, double nominal) {
    return rate >= nominal * classLow && rate <= nominal * classHigh;
}

ResultAssessment early(Outcome outcome, std::string title, std::string explanation) {
    ResultAssessment verdict;
    verdict.outcome = outcome;
    verdict.title = std::move(title);
    verdict.explanation = std::move(explanation);
    return verdict;
}

ResultAssessment inspection(const char* explanation) {
    return early(Outcome::inconclusive, needsInspection, explanation);
}

std::optional<ResultAssessment> earlyVerdict(const SpeedSnapshot& speed,
                                             const std::optional<Uuid>& run) {
    using Phase = SpeedSnapshot::Phase;
    if (speed.phase == Phase::cancelled) {
        return early(Outcome::incomplete, "Test cancelled \u2014 no complete assessment",
                     speed.endedRemotely
                         ? "It was stopped on the other Mac. Run it again when you\u2019re ready."
                         : "Run the test again when you\u2019re ready.");
    }
    if (speed.phase == Phase::failed) {
        std::string explanation;
        if (speed.end == RunEndCause::connection) {
            explanation =
                "The connection between the Macs failed during the test. Check the cable and "
                "adapters, then try again.";
        } else if (speed.end == RunEndCause::tester) {
            explanation = std::string("Sorvanta couldn\u2019t finish the test") +
                          (speed.endedRemotely ? " on the other Mac" : "") +
                          ". The reason is below; on its own it says nothing about the cable.";
        } else {
            explanation =
                "Check the connection and Local Network access on both Macs, then try again.";
        }
        return early(Outcome::incomplete, "Test interrupted \u2014 no complete assessment",
                     explanation);
    }
    if (speed.phase != Phase::complete || speed.busy || !speed.run || (run && *run != *speed.run) ||
        speed.profile != QuickProfile::quick || speed.stages.size() != 3) {
        return early(Outcome::incomplete, "No complete Quick Test assessment",
                     "All three Quick Test stages must finish before a performance class can "
                     "pass.");
    }
    return std::nullopt;
}

// The rate of a complete direction whose final sample is a full measurement.
std::optional<double> measuredRate(const DirectionMeasurement* direction) {
    if (!direction || !direction->complete || !direction->sample) {
        return std::nullopt;
    }
    try {
        direction->sample->validate(true, minimumMeasuredSeconds);
    } catch (const ProtocolFailure&) {
        return std::nullopt;
    }
    const auto rate = direction->sample->bitsPerSecond();
    if (!rate || !std::isfinite(*rate)) {
        return std::nullopt;
    }
    return rate;
}

struct Judgement {
    const SpeedSnapshot& speed;
    std::vector<StageMeasurement> stages;  // sorted by index
    double r0 = 0, r1 = 0, d0 = 0, d1 = 0;
    Uuid forwardSender, reverseSender;
    std::optional<PerformanceClass> performanceClass;
    std::string measuredText;
    std::string performanceText;
    std::string advice;
    std::optional<ResultAssessment::LinkObservation> link;  // valid links only
    const DisplayFormat& format;

    std::string rate(double value) const { return format.rateText(value); }

    ResultAssessment warning(std::string title, std::string performance, std::string explanation,
                             ResultAssessment::SpeedFinding finding) const {
        ResultAssessment verdict;
        verdict.outcome = Outcome::warning;
        verdict.title = std::move(title);
        verdict.performance = std::move(performance);
        verdict.explanation = std::move(explanation);
        verdict.finding = std::move(finding);
        return verdict;
    }

    std::optional<ResultAssessment> slowerThanLink(
        const speed_evidence::AdapterTable& adapters) const {
        const double limit = link->bitsPerSecond;
        const std::array<double, 4> rates{r0, r1, d0, d1};
        if (std::none_of(rates.begin(), rates.end(),
                         [&](double r) { return r < shortOfLinkShare * limit; })) {
            return std::nullopt;
        }
        std::optional<Uuid> usb2Mac;
        if (limit >= gigabit) {
            for (const auto& [mac, profile] : adapters) {
                if (profile.connection && static_cast<double>(*profile.connection) <= usb2Bus) {
                    usb2Mac = mac;
                    break;
                }
            }
        }
        std::vector<std::int64_t> shortStages;
        for (const auto& stage : stages) {
            const bool isShort =
                std::any_of(stage.directions.begin(), stage.directions.end(), [&](const auto& d) {
                    if (!d.sample) {
                        return false;
                    }
                    const auto r = d.sample->bitsPerSecond();
                    return r && std::isfinite(*r) && *r < shortOfLinkShare * limit;
                });
            if (isShort) {
                shortStages.push_back(stage.index);
            }
        }
        std::string explanation = link->source + ": " + rate(limit) +
                                  ". Transfers stayed below 90% of it." +
                                  (usb2Mac ? " An adapter is on a USB 2 connection, which limits "
                                             "it to about 300 Mbps."
                                           : "") +
                                  " " + advice;
        return warning("Slower than the reported link speed", performanceText,
                       std::move(explanation),
                       ResultAssessment::SlowerThanLink{limit, shortStages, usb2Mac});
    }

    ResultAssessment judge() const {
        const auto adapters = speed_evidence::adapterProfiles(speed);
        const std::array<double, 4> rates{r0, r1, d0, d1};
        if (link) {
            const double limit = link->bitsPerSecond;
            if (std::any_of(rates.begin(), rates.end(),
                            [&](double r) { return r > classHigh * limit; })) {
                ResultAssessment verdict =
                    early(Outcome::inconclusive, "Results exceed the reported link speed",
                          link->source + ": reported " + rate(limit) +
                              ". Check Details before interpreting this result.");
                verdict.performance = measuredText;
                return verdict;
            }
        }
        if (performanceClass && (d0 > classHigh * performanceClass->nominal ||
                                 d1 > classHigh * performanceClass->nominal)) {
            ResultAssessment verdict = inspection(
                "Simultaneous rates exceed the inferred class. No class-level pass was awarded.");
            verdict.performance = measuredText;
            return verdict;
        }
        if (link) {
            std::vector<double> assured;
            for (const Uuid& mac : {forwardSender, reverseSender}) {
                const auto entry = std::find_if(adapters.begin(), adapters.end(),
                                                [&](const auto& e) { return e.first == mac; });
                if (entry != adapters.end() && entry->second.assured) {
                    assured.push_back(static_cast<double>(*entry->second.assured));
                }
            }
            const double limit = link->bitsPerSecond;
            if (assured.size() == 2 && std::min(assured[0], assured[1]) > limit) {
                const double lower = std::min(assured[0], assured[1]);
                return warning("Link slower than both adapters", performanceText,
                               "The link came up at " + rate(limit) +
                                   ", but both adapters support " + rate(lower) +
                                   ". A damaged cable, a slower port or device in between, or a "
                                   "manual speed setting can hold a link back.",
                               ResultAssessment::LinkBelowAdapters{limit, lower});
            }
        }
        if (std::min(r0, r1) < unevenShare * std::max(r0, r1)) {
            return warning("Uneven speeds", measuredText, advice,
                           ResultAssessment::UnevenSpeeds{r1 <= r0 ? 1 : 0});
        }
        if (link && link->bitsPerSecond >= gigabit &&
            std::any_of(adapters.begin(), adapters.end(), [](const auto& e) {
                return e.second.connection && static_cast<double>(*e.second.connection) <= usb2Bus;
            })) {
            if (auto verdict = slowerThanLink(adapters)) {
                return *verdict;
            }
        }
        const auto dropped = [&](double single, double duplex) {
            return droppedShare * single > duplex ||
                   (performanceClass && classLow * performanceClass->nominal > duplex);
        };
        std::vector<Uuid> droppedSenders;
        if (dropped(r0, d0)) {
            droppedSenders.push_back(forwardSender);
        }
        if (dropped(r1, d1)) {
            droppedSenders.push_back(reverseSender);
        }
        if (!droppedSenders.empty()) {
            ResultAssessment::DuplexCause cause;
            std::vector<Uuid> lowPower;
            for (const Uuid& mac : speed_evidence::lowPowerParticipants(speed)) {
                if (std::find(droppedSenders.begin(), droppedSenders.end(), mac) !=
                    droppedSenders.end()) {
                    lowPower.push_back(mac);
                }
            }
            if (!lowPower.empty()) {
                cause = {ResultAssessment::DuplexCause::Kind::lowPower, lowPower};
            } else if (speed_evidence::cleanCeiling(speed)) {
                cause.kind = ResultAssessment::DuplexCause::Kind::cleanCeiling;
            }
            std::string explanation =
                "Simultaneous: " + rate(d0) + " / " + rate(d1) + "." +
                (cause.kind == ResultAssessment::DuplexCause::Kind::cleanCeiling
                     ? " No resends detected \u2014 more likely a Mac\u2019s limit than the cable."
                     : "") +
                " " + advice;
            return warning("Speed dropped with both directions active", performanceText,
                           std::move(explanation), ResultAssessment::DuplexDrop{cause});
        }
        if (link) {
            if (auto verdict = slowerThanLink(adapters)) {
                return *verdict;
            }
        }
        ResultAssessment verdict;
        if (performanceClass) {
            verdict = early(Outcome::passed, "Passed this quick test",
                            "Also passed with both Macs sending. No connection interruptions "
                            "were observed during this quick test.");
            verdict.performance = performanceClass->text;
        } else {
            verdict = early(Outcome::measured, "Quick Test completed",
                            "No nominal performance class fits these measurements. No connection "
                            "interruptions were observed during this quick test.");
            verdict.performance = measuredText;
        }
        return verdict;
    }
};

}  // namespace

ResultAssessment ResultAssessment::speedVerdict(const SpeedSnapshot& speed,
                                                const std::optional<Uuid>& run,
                                                const std::optional<LinkObservation>& link,
                                                const DisplayFormat& format) {
    const auto observed = link ? link : speed_evidence::linkFromEvidence(speed);
    if (auto verdict = earlyVerdict(speed, run)) {
        return *verdict;
    }

    std::vector<StageMeasurement> stages = speed.stages;
    std::stable_sort(stages.begin(), stages.end(),
                     [](const auto& a, const auto& b) { return a.index < b.index; });
    const std::array<QuickStage, 3> modes{QuickStage::forward, QuickStage::reverse,
                                          QuickStage::duplex};
    const std::array<std::size_t, 3> directionCounts{1, 1, 2};
    for (std::size_t i = 0; i < stages.size(); ++i) {
        if (stages[i].index != static_cast<std::int64_t>(i) || stages[i].mode != modes[i] ||
            stages[i].directions.size() != directionCounts[i]) {
            return inspection("The recorded stages are missing or inconsistent. See Details.");
        }
    }

    const DirectionMeasurement& forward = stages[0].directions[0];
    const DirectionMeasurement& reverse = stages[1].directions[0];
    const auto& duplex = stages[2].directions;
    const bool sameSenders =
        (duplex[0].sender == forward.sender && duplex[1].sender == reverse.sender) ||
        (duplex[0].sender == reverse.sender && duplex[1].sender == forward.sender);
    if (forward.sender == reverse.sender || !sameSenders) {
        return inspection("The recorded direction identities do not match. See Details.");
    }

    const auto duplexOf = [&](const Uuid& sender) -> const DirectionMeasurement* {
        const auto it = std::find_if(duplex.begin(), duplex.end(),
                                     [&](const auto& d) { return d.sender == sender; });
        return it == duplex.end() ? nullptr : &*it;
    };
    const auto r0 = measuredRate(&forward);
    const auto r1 = measuredRate(&reverse);
    const auto d0 = measuredRate(duplexOf(forward.sender));
    const auto d1 = measuredRate(duplexOf(reverse.sender));
    if (!r0 || !r1 || !d0 || !d1) {
        return inspection("A receiver measurement is partial or invalid. See Details.");
    }

    Judgement judgement{speed,          stages,       *r0, *r1, *d0, *d1,          forward.sender,
                        reverse.sender, std::nullopt, {},  {},  {},  std::nullopt, format};
    for (const auto& candidate : performanceClasses) {
        if (fits(*r0, candidate.nominal) && fits(*r1, candidate.nominal)) {
            judgement.performanceClass = candidate;
            break;
        }
    }
    judgement.measuredText = format.rateText(*r0) + " / " + format.rateText(*r1) + " measured";
    judgement.performanceText =
        judgement.performanceClass ? judgement.performanceClass->text : judgement.measuredText;
    const auto lowPower = speed_evidence::lowPowerParticipants(speed);
    judgement.advice =
        lowPower.empty()
            ? "Check the adapters and ports, or compare with a known-good cable."
            : std::string(lowPower.size() == 2 ? "Both Macs were" : "A Mac was") +
                  " in Low Power Mode during this test, which can lower speed. Plug in or turn "
                  "it off and test again.";
    if (observed && observed->run == *speed.run && observed->active && observed->testScoped &&
        std::isfinite(observed->bitsPerSecond) && observed->bitsPerSecond > 0) {
        judgement.link = observed;
    }
    return judgement.judge();
}

ResultAssessment ResultAssessment::merging(const QualityAssessment& q) const {
    if (outcome == Outcome::incomplete) {
        return *this;
    }
    ResultAssessment merged = *this;
    using Quality = QualityAssessment::Outcome;
    switch (q.outcome) {
        case Quality::healthy:
            merged.outcome = outcome == Outcome::passed ? Outcome::passed : Outcome::measured;
            break;
        case Quality::tcpConcern:
        case Quality::udpConcern:
        case Quality::interfaceConcern:
            merged.outcome = Outcome::warning;
            break;
        case Quality::limited:
            merged.outcome = Outcome::inconclusive;
            break;
        case Quality::incomplete:
            merged.outcome = Outcome::incomplete;
            break;
    }
    merged.title = q.title;
    merged.explanation = q.explanation;
    merged.quality = q.outcome;
    merged.tcpIssue = q.tcpIssue;
    merged.speedOutcome = outcome;
    return merged;
}

ResultAssessment ResultAssessment::shown(const SpeedSnapshot& speed, const std::optional<Uuid>& run,
                                         const DisplayFormat& format) {
    const ResultAssessment verdict = speedVerdict(speed, run, std::nullopt, format);
    if (verdict.outcome == Outcome::incomplete) {
        return verdict;
    }
    return verdict.merging(QualityAssessment::assess(speed, verdict));
}

}  // namespace sorvanta
