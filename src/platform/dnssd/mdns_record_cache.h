#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/dnssd/mdns_message.h"

namespace sorvanta {

using MdnsClock = std::chrono::steady_clock;
using MdnsTime = MdnsClock::time_point;

// The records a browser has heard, each until its TTL runs out, looked up by name and by
// data through hash indexes: whatever a received packet holds, what it costs grows with its
// own size and the records it names, not with everything held. A record is due for a
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
        // Under reconfirmation: must be heard again or it goes.
        bool doubted = false;
        // Queries of other hosts it would answer, heard without an answer bringing it.
        int unanswered = 0;
        MdnsTime firstUnanswered{};
    };

    // How long after a goodbye (TTL 0) or a cache-flush a record stays: the grace that
    // lets a late answer, or a record sent in the same burst, keep it.
    static constexpr std::chrono::seconds grace{1};
    // Received TTLs are capped at a day: no record needs longer, and the arithmetic on
    // times stays far from overflow whatever a packet claims.
    static constexpr std::uint32_t maxTtl = 86400;
    // Cap on the records kept, so a flood of answers cannot grow it without bound.
    static constexpr std::size_t maxEntries = 1024;
    // How long a record in doubt has to be heard again before it is flushed: a record
    // reconfirmed after a failed contact, or one that two or more queries expected as an
    // answer that nobody gave.
    static constexpr std::chrono::seconds doubtWindow{10};
    // Refresh points in a record's life (80, 85, 90 and 95 % of its TTL).
    static constexpr int refreshPoints = 4;

    explicit MdnsRecordCache(std::uint32_t seed = 1) : random_(seed) {}

    // Adds or renews a received record. A goodbye shortens the record's life to the
    // grace second. A record with the cache-flush bit makes every other record of the
    // same name, type and class that arrived more than a second earlier expire after
    // the grace second.
    void add(const MdnsRecord& record, MdnsTime now);

    // Puts the live records `doubt` picks in doubt: unless an answer renews them within
    // the doubt window, they expire then, whatever their TTL says. Returns how many were
    // newly doubted (a record already in doubt keeps its deadline).
    template <class Predicate>
    std::size_t doubt(Predicate doubt, MdnsTime now) {
        std::size_t count = 0;
        for (auto& entry : entries_) {
            if (entry.expires > now && !entry.doubted && doubt(entry.record)) {
                entry.doubted = true;
                entry.expires = std::min(entry.expires, now + doubtWindow);
                entry.refreshesSent = refreshPoints;  // no refresh queries of its own meanwhile
                ++count;
            }
        }
        return count;
    }

    // A query that another host multicast and that a live record answers, unless the
    // query lists it as a known answer with at least half its TTL: the record's owner
    // should answer. After the second such query without an answer renewing the record,
    // it expires a doubt window after the first.
    void noteUnanswered(const MdnsMessage& query, MdnsTime now);

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
    void clear();

  private:
    MdnsTime refreshPoint(const Entry& entry, int index) const;
    // The entries of that name, in the order they arrived; candidates to compare.
    const std::vector<std::size_t>* named(const MdnsName& name) const;
    void index(std::size_t position);
    void reindex();

    std::vector<Entry> entries_;
    std::vector<std::string> dataKeys_;  // mdnsDataKey of each entry, by position
    std::unordered_map<std::string, std::vector<std::size_t>> byName_;
    std::unordered_multimap<std::string, std::size_t> byData_;
    std::minstd_rand random_;
};

}  // namespace sorvanta
