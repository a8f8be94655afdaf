#include "platform/dnssd/mdns_known_records.h"

#include <algorithm>

namespace sorvanta {

void MdnsKnownRecords::replace(const std::vector<MdnsRecordCache::Entry>& entries) {
    std::lock_guard lock(mutex_);
    entries_ = entries;
}

std::vector<MdnsRecordCache::Entry> MdnsKnownRecords::about(const MdnsName& instance,
                                                            MdnsTime now) const {
    std::lock_guard lock(mutex_);
    std::vector<MdnsRecordCache::Entry> found;
    std::vector<MdnsName> hosts;
    for (const auto& entry : entries_) {
        const auto type = entry.record.type;
        if (entry.expires > now && entry.record.name == instance &&
            (type == mdns::typeSrv || type == mdns::typeTxt)) {
            found.push_back(entry);
            if (auto srv = entry.record.srvData()) {
                hosts.push_back(srv->target);
            }
        }
    }
    for (const auto& entry : entries_) {
        const auto type = entry.record.type;
        if (entry.expires > now && (type == mdns::typeA || type == mdns::typeAaaa) &&
            std::find(hosts.begin(), hosts.end(), entry.record.name) != hosts.end()) {
            found.push_back(entry);
        }
    }
    return found;
}

}  // namespace sorvanta
