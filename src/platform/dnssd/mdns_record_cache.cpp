#include "platform/dnssd/mdns_record_cache.h"

#include <algorithm>
#include <unordered_set>

#include "platform/dnssd/mdns_record_key.h"

namespace sorvanta {

namespace {

constexpr int refreshPercent[] = {80, 85, 90, 95};

}  // namespace

void MdnsRecordCache::add(const MdnsRecord& record, MdnsTime now) {
    const std::vector<std::size_t>* sameName = named(record.name);
    if (record.cacheFlush && record.ttl > 0 && sameName != nullptr) {
        for (std::size_t position : *sameName) {
            auto& entry = entries_[position];
            if (entry.record.type == record.type && entry.record.rrclass == record.rrclass &&
                entry.record.name == record.name && !entry.record.sameData(record) &&
                now - entry.received > grace) {
                entry.expires = std::min(entry.expires, now + grace);
                entry.refreshesSent = refreshPoints;
            }
        }
    }
    std::string key = mdnsDataKey(record);
    Entry* found = nullptr;
    for (auto [at, end] = byData_.equal_range(key); at != end && found == nullptr; ++at) {
        if (entries_[at->second].record.sameData(record)) {
            found = &entries_[at->second];
        }
    }
    if (record.ttl == 0) {
        if (found != nullptr) {
            found->expires = std::min(found->expires, now + grace);
            found->refreshesSent = refreshPoints;
        }
        return;
    }
    if (found == nullptr) {
        if (entries_.size() >= maxEntries) {
            return;
        }
        entries_.push_back(Entry{record, now, now, 0, 0});
        dataKeys_.push_back(std::move(key));
        index(entries_.size() - 1);
        found = &entries_.back();
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
    // One query counts once for a record, however many of its questions ask for it.
    std::unordered_set<std::size_t> seen;
    std::unordered_multimap<std::string, const MdnsRecord*> known;
    bool knownIndexed = false;
    for (const auto& question : query.questions) {
        if (question.unicastResponse) {
            continue;  // its answer would not be multicast, so its absence says nothing
        }
        const std::vector<std::size_t>* candidates = named(question.name);
        if (candidates == nullptr) {
            continue;
        }
        for (std::size_t position : *candidates) {
            auto& entry = entries_[position];
            const auto& record = entry.record;
            if (entry.expires <= now || record.name != question.name ||
                (question.type != mdns::typeAny && question.type != record.type) ||
                (question.qclass != mdns::classAny && question.qclass != record.rrclass) ||
                !seen.insert(position).second) {
                continue;
            }
            if (!knownIndexed) {
                for (const auto& answer : query.answers) {
                    known.emplace(mdnsDataKey(answer), &answer);
                }
                knownIndexed = true;
            }
            bool isKnown = false;
            for (auto [at, end] = known.equal_range(dataKeys_[position]); at != end && !isKnown;
                 ++at) {
                isKnown = at->second->sameData(record) && at->second->ttl >= record.ttl / 2;
            }
            if (isKnown) {
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
    std::size_t kept = 0;
    for (std::size_t position = 0; position < entries_.size(); ++position) {
        if (entries_[position].expires <= now) {
            gone.push_back(std::move(entries_[position].record));
            continue;
        }
        if (kept != position) {
            entries_[kept] = std::move(entries_[position]);
            dataKeys_[kept] = std::move(dataKeys_[position]);
        }
        ++kept;
    }
    if (!gone.empty()) {
        entries_.resize(kept);
        dataKeys_.resize(kept);
        reindex();
    }
    return gone;
}

void MdnsRecordCache::clear() {
    entries_.clear();
    dataKeys_.clear();
    reindex();
}

const std::vector<std::size_t>* MdnsRecordCache::named(const MdnsName& name) const {
    const auto found = byName_.find(mdnsNameKey(name));
    return found != byName_.end() ? &found->second : nullptr;
}

void MdnsRecordCache::index(std::size_t position) {
    byName_[mdnsNameKey(entries_[position].record.name)].push_back(position);
    byData_.emplace(dataKeys_[position], position);
}

void MdnsRecordCache::reindex() {
    byName_.clear();
    byData_.clear();
    for (std::size_t position = 0; position < entries_.size(); ++position) {
        index(position);
    }
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
    if (const std::vector<std::size_t>* candidates = named(name)) {
        for (std::size_t position : *candidates) {
            const auto& entry = entries_[position];
            if ((type == mdns::typeAny || entry.record.type == type) && entry.record.name == name) {
                found.push_back(&entry);
            }
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
