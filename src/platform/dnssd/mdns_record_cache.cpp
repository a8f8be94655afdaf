#include "platform/dnssd/mdns_record_cache.h"

#include <algorithm>

namespace sorvanta {

namespace {

constexpr int refreshPercent[] = {80, 85, 90, 95};

}  // namespace

void MdnsRecordCache::add(const MdnsRecord& record, MdnsTime now) {
    if (record.cacheFlush && record.ttl > 0) {
        for (auto& entry : entries_) {
            if (entry.record.type == record.type && entry.record.rrclass == record.rrclass &&
                entry.record.name == record.name && !entry.record.sameData(record) &&
                now - entry.received > grace) {
                entry.expires = std::min(entry.expires, now + grace);
                entry.refreshesSent = refreshPoints;
            }
        }
    }
    auto found = std::find_if(entries_.begin(), entries_.end(),
                              [&](const Entry& e) { return e.record.sameData(record); });
    if (record.ttl == 0) {
        if (found != entries_.end()) {
            found->expires = std::min(found->expires, now + grace);
            found->refreshesSent = refreshPoints;
        }
        return;
    }
    if (found == entries_.end()) {
        if (entries_.size() >= maxEntries) {
            return;
        }
        entries_.push_back(Entry{record, now, now, 0, 0});
        found = entries_.end() - 1;
    }
    found->record = record;
    found->received = now;
    found->expires = now + std::chrono::seconds(std::min(record.ttl, maxTtl));
    found->refreshesSent = 0;
    found->jitterPermille = static_cast<std::uint32_t>(random_() % 21);
    found->doubted = false;
    found->unanswered = 0;
}

void MdnsRecordCache::noteUnanswered(const MdnsMessage& query, MdnsTime now) {
    constexpr std::uint16_t truncatedFlag = 0x0200;
    // A truncated query's known answers go on in a packet not seen yet; a probe (records in
    // its authority section) asks whether anyone else holds a name, expecting no answer.
    if (query.isResponse() || !query.isStandard() || (query.flags & truncatedFlag) != 0 ||
        !query.authorities.empty()) {
        return;
    }
    for (const auto& question : query.questions) {
        if (question.unicastResponse) {
            continue;  // its answer would not be multicast, so its absence says nothing
        }
        for (auto& entry : entries_) {
            const auto& record = entry.record;
            if (entry.expires <= now || record.name != question.name ||
                (question.type != mdns::typeAny && question.type != record.type) ||
                (question.qclass != mdns::classAny && question.qclass != record.rrclass)) {
                continue;
            }
            const bool known = std::any_of(
                query.answers.begin(), query.answers.end(), [&](const MdnsRecord& answer) {
                    return answer.sameData(record) && answer.ttl >= record.ttl / 2;
                });
            if (known) {
                continue;
            }
            if (entry.unanswered == 0) {
                entry.firstUnanswered = now;
            }
            if (++entry.unanswered >= 2) {
                entry.expires = std::min(entry.expires, entry.firstUnanswered + doubtWindow);
                entry.refreshesSent = refreshPoints;  // others asked; asking too adds nothing
            }
        }
    }
}

std::vector<MdnsRecord> MdnsRecordCache::expire(MdnsTime now) {
    std::vector<MdnsRecord> gone;
    std::erase_if(entries_, [&](Entry& entry) {
        if (entry.expires > now) {
            return false;
        }
        gone.push_back(std::move(entry.record));
        return true;
    });
    return gone;
}

MdnsTime MdnsRecordCache::refreshPoint(const Entry& entry, int index) const {
    const auto ttl = entry.expires - entry.received;
    const auto permille = refreshPercent[index] * 10 + static_cast<int>(entry.jitterPermille);
    return entry.received + ttl * permille / 1000;
}

std::vector<MdnsRecord> MdnsRecordCache::takeRefreshDue(MdnsTime now) {
    std::vector<MdnsRecord> due;
    for (auto& entry : entries_) {
        bool passed = false;
        while (entry.refreshesSent < refreshPoints &&
               refreshPoint(entry, entry.refreshesSent) <= now) {
            ++entry.refreshesSent;
            passed = true;
        }
        if (passed && entry.expires > now) {
            due.push_back(entry.record);
        }
    }
    return due;
}

std::optional<MdnsTime> MdnsRecordCache::nextEvent() const {
    std::optional<MdnsTime> next;
    for (const auto& entry : entries_) {
        MdnsTime at = entry.expires;
        if (entry.refreshesSent < refreshPoints) {
            at = std::min(at, refreshPoint(entry, entry.refreshesSent));
        }
        if (!next || at < *next) {
            next = at;
        }
    }
    return next;
}

std::vector<const MdnsRecordCache::Entry*> MdnsRecordCache::find(const MdnsName& name,
                                                                 std::uint16_t type) const {
    std::vector<const Entry*> found;
    for (const auto& entry : entries_) {
        if ((type == mdns::typeAny || entry.record.type == type) && entry.record.name == name) {
            found.push_back(&entry);
        }
    }
    return found;
}

std::uint32_t MdnsRecordCache::remainingTtl(const Entry& entry, MdnsTime now) {
    if (entry.expires <= now) {
        return 0;
    }
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::seconds>(entry.expires - now).count());
}

}  // namespace sorvanta
