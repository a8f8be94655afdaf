#include "protocol/ethernet_counter_snapshot.h"

#include <ifaddrs.h>
#include <net/if.h>

#include <cerrno>
#include <memory>

#include "protocol/ethernet_counter_capture.h"

namespace sorvanta {

EthernetCounterSnapshot EthernetCounterSnapshot::capture(const std::string& interface,
                                                         std::int64_t index, double offset) {
    EthernetCounterSnapshot snapshot;
    snapshot.offset = offset;
    snapshot.reason = std::string(statisticsUnavailable);

    // A missing interface has index 0, so it passes only when 0 is what was expected.
    if (static_cast<std::int64_t>(::if_nametoindex(interface.c_str())) != index) {
        snapshot.reason = std::string(identityChanged);
        return snapshot;
    }

    snapshot.registryID = ethernet_capture::readRegistryID(interface, index);
    const auto stateChanges = ethernet_capture::readCarrierCounts(interface, index);

    ifaddrs* raw = nullptr;
    if (::getifaddrs(&raw) != 0) {
        const int error = errno;
        snapshot.reason = "getifaddrs unavailable (errno " + std::to_string(error) + ").";
        return snapshot;
    }
    const std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> list(raw, ::freeifaddrs);
    ethernet_capture::readStatistics(list.get(), interface, index, stateChanges, snapshot);
    return snapshot;
}

EthernetCounterSnapshot EthernetCounterSnapshot::fromJson(const json::ObjectReader& r) {
    EthernetCounterSnapshot snapshot;
    snapshot.offset = r.required<double>("offset");
    snapshot.registryID = r.optional<std::uint64_t>("registryID");
    snapshot.administrativeChange = r.optional<std::string>("administrativeChange");
    snapshot.rxErrors = r.optional<std::uint32_t>("rxErrors");
    snapshot.txErrors = r.optional<std::uint32_t>("txErrors");
    snapshot.inputDrops = r.optional<std::uint32_t>("inputDrops");
    snapshot.reason = r.optional<std::string>("reason");
    return snapshot;
}

void EthernetCounterSnapshot::toJson(json::ObjectWriter& w) const {
    w.field("offset", offset);
    w.field("registryID", registryID);
    w.field("administrativeChange", administrativeChange);
    w.field("rxErrors", rxErrors);
    w.field("txErrors", txErrors);
    w.field("inputDrops", inputDrops);
    w.field("reason", reason);
}

}  // namespace sorvanta
