#include "protocol/readiness_gate.h"

#include <algorithm>

namespace sorvanta {

std::string_view ReadinessGate::name(Refusal refusal) {
    switch (refusal) {
        case Refusal::notConnected:
            return "notConnected";
        case Refusal::notDirect:
            return "notDirect";
        case Refusal::notTheOnlyVisibleMac:
            return "notTheOnlyVisibleMac";
        case Refusal::visibleMacIsAnother:
            return "visibleMacIsAnother";
        case Refusal::busy:
            return "busy";
        case Refusal::replayed:
            return "replayed";
    }
    return {};
}

std::optional<ReadinessGate::Refusal> ReadinessGate::refusal(const Facts& facts) {
    if (!facts.connectionReady || !facts.connectedMac) {
        return Refusal::notConnected;
    }
    if (facts.directLink != true) {
        return Refusal::notDirect;
    }
    if (facts.visibleMacs.size() != 1) {
        return Refusal::notTheOnlyVisibleMac;
    }
    // An entry without an identity never matches the connected Mac.
    if (facts.visibleMacs.front() != facts.connectedMac) {
        return Refusal::visibleMacIsAnother;
    }
    if (facts.runInProgress) {
        return Refusal::busy;
    }
    return std::nullopt;
}

std::optional<ReadinessGate::Refusal> ReadinessGate::admit(const Uuid& run, const Facts& facts) {
    if (auto refused = refusal(facts)) {
        return refused;
    }
    if (std::find(recentRuns_.begin(), recentRuns_.end(), run) != recentRuns_.end()) {
        return Refusal::replayed;
    }
    recentRuns_.push_back(run);
    if (recentRuns_.size() > runMemory) {
        recentRuns_.pop_front();
    }
    return std::nullopt;
}

}  // namespace sorvanta
