#include "assessment/verdict/speed_evidence.h"

#include <algorithm>

#include "protocol/udp_rules.h"

namespace sorvanta::speed_evidence {
namespace {

using Counter = std::optional<std::uint32_t> EthernetCounterSnapshot::*;
constexpr Counter counters[] = {&EthernetCounterSnapshot::rxErrors,
                                &EthernetCounterSnapshot::txErrors,
                                &EthernetCounterSnapshot::inputDrops};

bool hasCleanWindow(const DirectionMeasurement& direction) {
    if (!direction.transport || !direction.transport->window) {
        return false;
    }
    const TCPObservation& report = *direction.transport;
    const TCPSlice& window = *report.window;
    return window.sent > 0 && report.sent >= window.sent &&
           report.retransmitted >= window.retransmitted && window.retransmitted == 0;
}

bool hasCleanCounters(const EthernetRunEvidence& evidence) {
    if (!evidence.after || evidence.counterIntervalProblem()) {
        return false;
    }
    for (Counter counter : counters) {
        const auto delta = evidence.delta(counter);
        if (delta && *delta != 0) {
            return false;
        }
    }
    if (evidence.linkChanged()) {
        return false;
    }
    return std::none_of(evidence.links.begin(), evidence.links.end(),
                        [](const EthernetLinkSample& s) { return s.fullDuplex == false; });
}

}  // namespace

std::vector<const EthernetRunEvidence*> runEvidence(const SpeedSnapshot& speed) {
    std::vector<const EthernetRunEvidence*> kept;
    if (!speed.run || !speed.quality.session) {
        return kept;
    }
    for (const auto& evidence : speed.quality.ethernet) {
        if (udp_rules::passes([&] {
                evidence.validate(*speed.run, *speed.quality.session, evidence.participant);
            })) {
            kept.push_back(&evidence);
        }
    }
    return kept;
}

std::optional<ResultAssessment::LinkObservation> linkFromEvidence(const SpeedSnapshot& speed) {
    if (!speed.run) {
        return std::nullopt;
    }
    std::optional<std::uint64_t> rate;
    for (const auto* evidence : runEvidence(speed)) {
        for (const auto& sample : evidence->links) {
            if (sample.active != true || !sample.rate) {
                continue;
            }
            if (rate && *rate != *sample.rate) {
                return std::nullopt;
            }
            rate = sample.rate;
        }
    }
    if (!rate) {
        return std::nullopt;
    }
    return ResultAssessment::LinkObservation{*speed.run, static_cast<double>(*rate), true, true,
                                             "Negotiated link during this test"};
}

AdapterTable adapterProfiles(const SpeedSnapshot& speed) {
    AdapterTable table;
    for (const auto* evidence : runEvidence(speed)) {
        const bool known = std::any_of(table.begin(), table.end(), [&](const auto& entry) {
            return entry.first == evidence->participant;
        });
        if (evidence->adapter && !known) {
            table.emplace_back(evidence->participant, *evidence->adapter);
        }
    }
    return table;
}

std::vector<Uuid> lowPowerParticipants(const SpeedSnapshot& speed) {
    std::vector<Uuid> macs;
    for (const auto* evidence : runEvidence(speed)) {
        if (evidence->lowPowerMode == true &&
            std::find(macs.begin(), macs.end(), evidence->participant) == macs.end()) {
            macs.push_back(evidence->participant);
        }
    }
    return macs;
}

bool cleanCeiling(const SpeedSnapshot& speed) {
    const auto duplex = std::find_if(speed.stages.begin(), speed.stages.end(),
                                     [](const auto& s) { return s.mode == QuickStage::duplex; });
    if (duplex == speed.stages.end() || duplex->directions.size() != 2 ||
        !std::all_of(duplex->directions.begin(), duplex->directions.end(), hasCleanWindow)) {
        return false;
    }
    const auto evidence = runEvidence(speed);
    return evidence.size() == 2 && std::all_of(evidence.begin(), evidence.end(),
                                               [](const auto* e) { return hasCleanCounters(*e); });
}

}  // namespace sorvanta::speed_evidence
