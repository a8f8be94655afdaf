#include "protocol/ethernet_counter_snapshot.h"

namespace sorvanta {

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
