#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/adapter_profile.h"
#include "protocol/ethernet_counter_snapshot.h"
#include "protocol/ethernet_link_sample.h"
#include "support/json_codec.h"
#include "support/uuid.h"

namespace sorvanta {

// One machine's evidence about its own selected Ethernet interface during a run: counter
// readings before and after, a bounded series of link samples, its adapter profile and
// its Low Power Mode state. Exchanged with the peer at the end of the run.
struct EthernetRunEvidence {
    // Sent as they are and checked by the peer.
    static constexpr std::int64_t currentSchema = 2;
    static constexpr std::int64_t currentCounterWidth = 32;
    static constexpr std::string_view currentCounterAPI = "getifaddrs AF_LINK/if_data";
    static constexpr std::string_view currentLinkAPI =
        "SIOCGIFXMEDIA; IORegistry kIOLinkStatus/kIOLinkSpeed";

    static constexpr std::size_t maximumLinks = 128;
    static constexpr std::size_t maximumLinkChanges = 16;
    // Samples further apart than this may have missed a transition.
    static constexpr double samplingGapSeconds = 2.5;
    // Received offsets lie within 0 … this many seconds of the run's epoch.
    static constexpr double maximumOffset = 125.0;
    static constexpr std::size_t maximumInterfaceBytes = 64;
    static constexpr std::size_t maximumReasonBytes = 256;
    static constexpr std::size_t maximumAdministrativeChangeBytes = 64;

    Uuid run;
    Uuid session;
    Uuid participant;  // the instance that recorded the evidence
    std::string interface;
    std::int64_t interfaceIndex = 0;
    std::int64_t schema = currentSchema;
    std::int64_t counterWidth = currentCounterWidth;
    std::string counterAPI = std::string(currentCounterAPI);
    std::string linkAPI = std::string(currentLinkAPI);
    EthernetCounterSnapshot before;
    std::optional<EthernetCounterSnapshot> after;
    std::vector<EthernetLinkSample> links;  // in time order
    std::optional<std::string> coverageReason;
    std::optional<AdapterProfile> adapter;
    std::optional<bool> lowPowerMode;

    // Appends a link sample, keeping at most `maximumLinks` samples and
    // `maximumLinkChanges` changes; what cannot be kept is named in `coverageReason`.
    void recordLink(double offset, std::optional<bool> active, std::optional<std::uint64_t> rate,
                    std::optional<bool> fullDuplex);

    // Why the before/after counter interval is unusable; absent when it is usable.
    std::optional<std::string> counterIntervalProblem() const;

    // The increase of one counter over the run, e.g. `delta(&EthernetCounterSnapshot::rxErrors)`;
    // absent when the interval is unusable or the counter went down.
    std::optional<std::uint32_t> delta(
        std::optional<std::uint32_t> EthernetCounterSnapshot::*counter) const;

    // The samples at which the link's state or rate differs from the sample before.
    std::vector<EthernetLinkSample> linkChanges() const;

    // Whether the present link states, or else the present rates, are not all equal.
    bool linkChanged() const;

    // Checks evidence received from the peer; throws ProtocolFailure::malformed at the first
    // rule it breaks.
    void validate(const Uuid& expectedRun, const Uuid& expectedSession,
                  const Uuid& expectedParticipant) const;

    static EthernetRunEvidence fromJson(const json::ObjectReader& r);
    void toJson(json::ObjectWriter& w) const;

    bool operator==(const EthernetRunEvidence&) const = default;
};

}  // namespace sorvanta
