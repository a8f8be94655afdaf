#include "assessment/presentation/run_presentation.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "protocol/quick_profile.h"

namespace sorvanta {
namespace {

constexpr double measurementSeconds = 10;

using Phase = SpeedSnapshot::Phase;

bool isValidSample(const SpeedSample& sample) {
    try {
        sample.validate(false, measurementSeconds);
        return true;
    } catch (...) {
        return false;
    }
}

// The single direction of the single recorded stage of `mode`, when there is exactly that.
const DirectionMeasurement* reference(const SpeedSnapshot& speed, QuickStage mode) {
    const StageMeasurement* found = nullptr;
    for (const auto& stage : speed.stages) {
        if (stage.mode == mode) {
            if (found) {
                return nullptr;
            }
            found = &stage;
        }
    }
    return found && found->directions.size() == 1 ? &found->directions.front() : nullptr;
}

}  // namespace

bool RunPresentation::runMatchesContext() const {
    const auto& run = snapshot.speed.run;
    return run && snapshot.resultContext && snapshot.resultContext->run == *run;
}

RunPresentation::Progress RunPresentation::progress() const {
    const auto& speed = snapshot.speed;
    if (!speed.run) {
        return Progress::none;
    }
    if (!speed.busy) {
        return speed.preparation.required && !speed.preparation.bulkStarted
                   ? Progress::endedInPreparation
                   : Progress::finished;
    }
    if (!runMatchesContext()) {
        return Progress::preparing;
    }
    if (speed.phase == Phase::quality) {
        return Progress::quality;
    }
    if (speed.phase == Phase::measuring) {
        const bool recorded = std::any_of(speed.stages.begin(), speed.stages.end(),
                                          [&](const auto& s) { return s.index == speed.stage; });
        return recorded ? Progress::stageRecorded : Progress::measuring;
    }
    return Progress::preparing;
}

std::optional<QuickStage> RunPresentation::currentStage() const {
    const auto stages = profileStages(snapshot.speed.profile);
    const auto stage = snapshot.speed.stage;
    if (stage < 0 || static_cast<std::size_t>(stage) >= stages.size()) {
        return std::nullopt;
    }
    return stages[static_cast<std::size_t>(stage)];
}

std::vector<RunPresentation::Receiver> RunPresentation::receivers() const {
    const auto step = progress();
    if (!runMatchesContext() || (step != Progress::measuring && step != Progress::stageRecorded)) {
        return {};
    }
    const auto& speed = snapshot.speed;
    const auto recorded = std::find_if(speed.stages.begin(), speed.stages.end(),
                                       [&](const auto& s) { return s.index == speed.stage; });
    const auto& source = recorded != speed.stages.end() ? recorded->directions : speed.directions;

    std::vector<DirectionMeasurement> shown;
    const auto* forward = reference(speed, QuickStage::forward);
    const auto* reverse = reference(speed, QuickStage::reverse);
    if (currentStage() == QuickStage::duplex && forward && reverse &&
        forward->sender != reverse->sender) {
        for (const auto* ref : {forward, reverse}) {
            const auto count = std::count_if(source.begin(), source.end(), [&](const auto& d) {
                return d.sender == ref->sender;
            });
            if (count == 1) {
                shown.push_back(*std::find_if(source.begin(), source.end(), [&](const auto& d) {
                    return d.sender == ref->sender;
                }));
            } else {
                DirectionMeasurement placeholder;
                placeholder.sender = ref->sender;
                placeholder.label = ref->label;
                placeholder.path = "No verified data path.";
                shown.push_back(std::move(placeholder));
            }
        }
    } else {
        std::map<Uuid, int> counts;
        for (const auto& d : source) {
            ++counts[d.sender];
        }
        for (const auto& d : source) {
            if (counts[d.sender] == 1) {
                shown.push_back(d);
            }
        }
        std::stable_sort(shown.begin(), shown.end(), [](const auto& a, const auto& b) {
            return a.sender.text() < b.sender.text();
        });
    }
    std::vector<Receiver> out;
    for (const auto& d : shown) {
        out.push_back(receiver(d));
    }
    return out;
}

RunPresentation::Receiver RunPresentation::receiver(const DirectionMeasurement& d) const {
    Receiver r;
    r.id = d.sender;
    r.label = d.label;
    r.final = progress() == Progress::stageRecorded || d.complete;
    r.senderSide = !localSenderID               ? SenderSide::unavailable
                   : d.sender == *localSenderID ? SenderSide::local
                                                : SenderSide::remote;
    if (!d.sample || !isValidSample(*d.sample) || !d.sample->measuring) {
        return r;
    }
    const auto& sample = *d.sample;
    const auto rate = r.final ? sample.bitsPerSecond() : sample.rollingBps;
    if (rate && std::isfinite(*rate) && *rate >= 0) {
        r.rate = rate;
    }
    if (std::isfinite(sample.seconds) && sample.seconds >= 0) {
        r.progress = r.final ? 1.0 : std::min(sample.seconds / measurementSeconds, 1.0);
    }
    return r;
}

std::set<std::int64_t> RunPresentation::completedQualityLegs() const {
    std::set<std::int64_t> legs;
    const auto& speed = snapshot.speed;
    if (!runMatchesContext() || progress() != Progress::quality || !speed.quality.session) {
        return legs;
    }
    for (const auto& leg : speed.quality.udp) {
        if (leg.run == *speed.run && leg.session == *speed.quality.session) {
            legs.insert(leg.leg);
        }
    }
    return legs;
}

std::optional<QuickStage> RunPresentation::qualityStage() const {
    const auto& speed = snapshot.speed;
    if (!runMatchesContext() || progress() != Progress::quality) {
        return std::nullopt;
    }
    if (speed.quality.complete || speed.quality.reason) {
        return QuickStage::duplex;
    }
    if (speed.qualityLeg) {
        return *speed.qualityLeg == 0 ? QuickStage::forward : QuickStage::reverse;
    }
    const auto legs = completedQualityLegs();
    if (legs == std::set<std::int64_t>{0, 1}) {
        return QuickStage::duplex;
    }
    return legs.contains(0) ? QuickStage::reverse : QuickStage::forward;
}

RunPresentation::SenderSide RunPresentation::qualitySenderSide() const {
    const auto stage = qualityStage();
    if (!localSenderID || (stage != QuickStage::forward && stage != QuickStage::reverse)) {
        return SenderSide::unavailable;
    }
    const auto* ref = reference(snapshot.speed, *stage);
    if (!ref) {
        return SenderSide::unavailable;
    }
    return ref->sender == *localSenderID ? SenderSide::local : SenderSide::remote;
}

std::string RunPresentation::mbpsText(double bitsPerSecond, bool gigabits,
                                      const DisplayFormat& format) {
    return format.rateFigure(bitsPerSecond, gigabits);
}

}  // namespace sorvanta
