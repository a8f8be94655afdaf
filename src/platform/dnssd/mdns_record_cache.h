#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "platform/dnssd/mdns_message.h"

namespace sorvanta {

using MdnsClock = std::chrono::steady_clock;
using MdnsTime = MdnsClock::time_point;

// The records a browser has heard, each until its TTL runs out. A record is due for a
// refresh query at 80, 85, 90 and 95 % of its TTL (each point moved later by up to 2 %
// of the TTL at random, so many browsers do not query at the same instant); an answer
// that arrives in time renews it and it never expires while its owner answers.
class MdnsRecordCache {
  public:
    struct Entry {
        MdnsRecord record;
        MdnsTime received;
        MdnsTime expires;
        int refreshesSent = 0;  // refresh points passed since the record was last renewed
        std::uint32_t jitterPermille = 0;  // 0 to 20: the random delay of each point
    };

    // How long after a goodbye (TTL 0) or a cache-flush a record stays: the grace that
    // lets a late answer, or a record sent in the same burst, keep it.
    static constexpr std::chrono::seconds grace{1};
    // Received TTLs are capped at a day: no record needs longer, and the arithmetic on
    // times stays far from overflow whatever a packet claims.
    static constexpr std::uint32_t maxTtl = 86400;
    // Cap on the records kept, so a flood of answers cannot grow it without bound.
    static constexpr std::size_t maxEntries = 1024;

    explicit MdnsRecordCache(std::uint32_t seed = 1) : random_(seed) {}

    // Adds or renews a received record. A goodbye shortens the record's life to the
    // grace second. A record with the cache-flush bit makes every other record of the
    // same name, type and class that arrived more than a second earlier expire after
    // the grace second.
    void add(const MdnsRecord& record, MdnsTime now);

    // Drops the records whose time is up and returns them.
    std::vector<MdnsRecord> expire(MdnsTime now);

    // Records that passed a refresh point since the last call; each point is reported
    // once. The caller decides which of them are worth a query.
    std::vector<MdnsRecord> takeRefreshDue(MdnsTime now);

    // The earliest moment something changes: an expiry or a refresh point.
    std::optional<MdnsTime> nextEvent() const;

    // Live records of that name and type (any type for `mdns::typeAny`).
    std::vector<const Entry*> find(const MdnsName& name, std::uint16_t type) const;

    // The TTL left, in whole seconds, rounded down.
    static std::uint32_t remainingTtl(const Entry& entry, MdnsTime now);

    const std::vector<Entry>& entries() const { return entries_; }
    void clear() { entries_.clear(); }

  private:
    MdnsTime refreshPoint(const Entry& entry, int index) const;

    std::vector<Entry> entries_;
    std::minstd_rand random_;
};

}  // namespace sorvanta
