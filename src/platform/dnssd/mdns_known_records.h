#pragma once

#include <mutex>
#include <vector>

#include "platform/dnssd/mdns_record_cache.h"

namespace sorvanta {

// What one browser has heard on one interface, shared with the resolutions of its
// results so that they start from the SRV, TXT and address records that usually come
// with the browse answer instead of asking again. The browser replaces the content on
// its executor; a resolution may read it from another, hence the lock.
class MdnsKnownRecords {
  public:
    void replace(const std::vector<MdnsRecordCache::Entry>& entries);

    // The records still alive at `now` about one instance: its SRV and TXT records and
    // the addresses of the hosts its SRV records name.
    std::vector<MdnsRecordCache::Entry> about(const MdnsName& instance, MdnsTime now) const;

  private:
    mutable std::mutex mutex_;
    std::vector<MdnsRecordCache::Entry> entries_;
};

}  // namespace sorvanta
