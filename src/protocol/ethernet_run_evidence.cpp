#include "protocol/ethernet_run_evidence.h"

#include "protocol/protocol_failure.h"

namespace sorvanta {
namespace {

constexpr std::string_view capacityExceeded = "Link sample capacity exceeded.";
constexpr std::string_view samplingGap = "Link sampling gap; transitions may have been missed.";
constexpr std::string_view changeCapacityExceeded = "Link change event capacity exceeded.";
constexpr std::string_view postflightUnavailable = "Postflight counters unavailable.";
constexpr std::string_view identityUnavailable =
    "Interface identity or administrative state changed/unavailable.";
constexpr std::string_view counterUnavailable = "A generic counter is unavailable.";
constexpr std::string_view counterDecreased =
    "Counter decreased; reset or rollover uncertain for this interval.";
constexpr std::string_view invalidInterval = "Invalid counter interval.";

using Counter = std::optional<std::uint32_t> EthernetCounterSnapshot::*;
constexpr Counter counters[] = {
    &EthernetCounterSnapshot::rxErrors,
    &EthernetCounterSnapshot::txErrors,
    &EthernetCounterSnapshot::inputDrops,
};

// True for 0 … maximum, negative zero included; false for NaN and infinities.
bool isOffsetInRange(double offset) {
    return offset >= 0 && offset <= EthernetRunEvidence::maximumOffset;
}

bool isInterfaceName(std::string_view name) {
    if (name.empty() || name.size() > EthernetRunEvidence::maximumInterfaceBytes) {
        return false;
    }
    for (char c : name) {
        const bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                             (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
        if (!allowed) {
            return false;
        }
    }
    return true;
}

void require(bool condition) {
    if (!condition) {
        throw ProtocolFailure::malformed;
    }
}

void validateReading(const EthernetCounterSnapshot& reading) {
    require(isOffsetInRange(reading.offset));
    require(!reading.reason || reading.reason->size() <= EthernetRunEvidence::maximumReasonBytes);
    require(!reading.administrativeChange ||
            reading.administrativeChange->size() <=
                EthernetRunEvidence::maximumAdministrativeChangeBytes);
    require(reading.reason || (reading.rxErrors && reading.txErrors && reading.inputDrops));
}

// Whether the values of `field` that are present are not all equal; absent ones are
// skipped.
template <class T>
bool presentValuesDiffer(const std::vector<EthernetLinkSample>& links,
                         std::optional<T> EthernetLinkSample::*field) {
    const std::optional<T>* first = nullptr;
    for (const EthernetLinkSample& sample : links) {
        const std::optional<T>& value = sample.*field;
        if (!value) {
            continue;
        }
        if (first == nullptr) {
            first = &value;
        } else if (*value != **first) {
            return true;
        }
    }
    return false;
}

}  // namespace

void EthernetRunEvidence::recordLink(double offset, std::optional<bool> active,
                                     std::optional<std::uint64_t> rate,
                                     std::optional<bool> fullDuplex) {
    const EthernetLinkSample sample{offset, active, rate, fullDuplex};
    if (links.size() >= maximumLinks) {
        coverageReason = std::string(capacityExceeded);
        return;
    }
    if (links.empty()) {
        links.push_back(sample);
        return;
    }
    const EthernetLinkSample& last = links.back();
    if (offset - last.offset > samplingGapSeconds) {
        coverageReason = std::string(samplingGap);
    }
    if (!sample.linkDiffers(last)) {
        links.push_back(sample);
        return;
    }
    if (linkChanges().size() >= maximumLinkChanges) {
        coverageReason = std::string(changeCapacityExceeded);
        return;
    }
    links.push_back(sample);
}

std::optional<std::string> EthernetRunEvidence::counterIntervalProblem() const {
    if (!after) {
        return std::string(postflightUnavailable);
    }
    if (before.reason) {
        return before.reason;
    }
    if (after->reason) {
        return after->reason;
    }
    if (!before.registryID || !after->registryID || before.registryID != after->registryID ||
        !before.administrativeChange || !after->administrativeChange ||
        before.administrativeChange != after->administrativeChange) {
        return std::string(identityUnavailable);
    }
    for (Counter counter : counters) {
        const auto& first = before.*counter;
        const auto& last = (*after).*counter;
        if (!first || !last) {
            return std::string(counterUnavailable);
        }
        if (*last < *first) {
            return std::string(counterDecreased);
        }
    }
    if (!(after->offset > before.offset)) {
        return std::string(invalidInterval);
    }
    return std::nullopt;
}

std::optional<std::uint32_t> EthernetRunEvidence::delta(Counter counter) const {
    if (counterIntervalProblem() || !after) {
        return std::nullopt;
    }
    const auto& first = before.*counter;
    const auto& last = (*after).*counter;
    if (!first || !last || *last < *first) {
        return std::nullopt;
    }
    return *last - *first;
}

std::vector<EthernetLinkSample> EthernetRunEvidence::linkChanges() const {
    std::vector<EthernetLinkSample> changes;
    for (std::size_t i = 1; i < links.size(); ++i) {
        if (links[i].linkDiffers(links[i - 1])) {
            changes.push_back(links[i]);
        }
    }
    return changes;
}

bool EthernetRunEvidence::linkChanged() const {
    return presentValuesDiffer(links, &EthernetLinkSample::active) ||
           presentValuesDiffer(links, &EthernetLinkSample::rate);
}

void EthernetRunEvidence::validate(const Uuid& expectedRun, const Uuid& expectedSession,
                                   const Uuid& expectedParticipant) const {
    require(schema == currentSchema && counterWidth == currentCounterWidth);
    require(counterAPI == currentCounterAPI && linkAPI == currentLinkAPI);
    require(run == expectedRun && session == expectedSession && participant == expectedParticipant);
    require(isInterfaceName(interface));
    require(interfaceIndex > 0);
    require(links.size() <= maximumLinks && linkChanges().size() <= maximumLinkChanges);
    require(!coverageReason || coverageReason->size() <= maximumReasonBytes);
    if (adapter) {
        adapter->validate();
    }
    validateReading(before);
    if (after) {
        validateReading(*after);
    }
    double previous = -1.0;
    for (const EthernetLinkSample& sample : links) {
        require(sample.offset > previous && isOffsetInRange(sample.offset));
        require(!sample.rate || (*sample.rate != 0 && sample.active == true));
        require(!sample.fullDuplex || sample.active == true);
        previous = sample.offset;
    }
    if (after) {
        require(after->offset > before.offset);
    }
}

EthernetRunEvidence EthernetRunEvidence::fromJson(const json::ObjectReader& r) {
    EthernetRunEvidence evidence;
    evidence.run = r.required<Uuid>("run");
    evidence.session = r.required<Uuid>("session");
    evidence.participant = r.required<Uuid>("participant");
    evidence.interface = r.required<std::string>("interface");
    evidence.interfaceIndex = r.required<std::int64_t>("interfaceIndex");
    evidence.schema = r.required<std::int64_t>("schema");
    evidence.counterWidth = r.required<std::int64_t>("counterWidth");
    evidence.counterAPI = r.required<std::string>("counterAPI");
    evidence.linkAPI = r.required<std::string>("linkAPI");
    evidence.before = r.required<EthernetCounterSnapshot>("before");
    evidence.after = r.optional<EthernetCounterSnapshot>("after");
    evidence.links = r.required<std::vector<EthernetLinkSample>>("links");
    evidence.coverageReason = r.optional<std::string>("coverageReason");
    evidence.adapter = r.optional<AdapterProfile>("adapter");
    evidence.lowPowerMode = r.optional<bool>("lowPowerMode");
    return evidence;
}

void EthernetRunEvidence::toJson(json::ObjectWriter& w) const {
    w.field("run", run);
    w.field("session", session);
    w.field("participant", participant);
    w.field("interface", interface);
    w.field("interfaceIndex", interfaceIndex);
    w.field("schema", schema);
    w.field("counterWidth", counterWidth);
    w.field("counterAPI", counterAPI);
    w.field("linkAPI", linkAPI);
    w.field("before", before);
    w.field("after", after);
    w.field("links", links);
    w.field("coverageReason", coverageReason);
    w.field("adapter", adapter);
    w.field("lowPowerMode", lowPowerMode);
}

}  // namespace sorvanta
