#include "platform/dnssd/mdns_resolver.h"

namespace sorvanta {

MdnsResolver::MdnsResolver(MdnsName instance, std::uint32_t seed)
    : instance_(std::move(instance)), cache_(seed) {}

void MdnsResolver::seed(const std::vector<MdnsRecordCache::Entry>& known, MdnsTime now) {
    std::optional<MdnsTime> firstHeard;
    for (const auto& entry : known) {
        if (entry.expires <= now) {
            continue;
        }
        MdnsRecord record = entry.record;
        record.ttl = MdnsRecordCache::remainingTtl(entry, now);
        record.cacheFlush = false;
        cache_.add(record, now);
        if ((record.type == mdns::typeA || record.type == mdns::typeAaaa) &&
            (!firstHeard || entry.received < *firstHeard)) {
            firstHeard = entry.received;
        }
    }
    if (firstHeard) {
        noteAddresses(*firstHeard);
    }
}

void MdnsResolver::noteAddresses(MdnsTime firstHeard) {
    if (!firstAddress_ && result()) {
        firstAddress_ = firstHeard;
    }
}

bool MdnsResolver::complete(MdnsTime now) const {
    const auto found = result();
    return found &&
           ((!found->ipv4.empty() && !found->ipv6.empty()) || now >= *firstAddress_ + gatherWindow);
}

void MdnsResolver::start(MdnsTime now) {
    if (!nextQuery_) {
        nextQuery_ = now;
    }
}

std::optional<MdnsSrv> MdnsResolver::srv() const {
    const MdnsRecordCache::Entry* newest = nullptr;
    for (const auto* entry : cache_.find(instance_, mdns::typeSrv)) {
        if (newest == nullptr || entry->received > newest->received) {
            newest = entry;
        }
    }
    return newest != nullptr ? newest->record.srvData() : std::nullopt;
}

void MdnsResolver::receive(const MdnsMessage& message, MdnsTime now) {
    if (!nextQuery_ || !message.isResponse() || !message.isStandard()) {
        return;
    }
    for (const auto* section : {&message.answers, &message.additionals}) {
        for (const auto& record : *section) {
            if (record.type == mdns::typeSrv && record.name == instance_) {
                cache_.add(record, now);
            }
        }
    }
    const auto known = srv();
    if (!known) {
        return;
    }
    for (const auto* section : {&message.answers, &message.additionals}) {
        for (const auto& record : *section) {
            if ((record.type == mdns::typeA || record.type == mdns::typeAaaa) &&
                record.name == known->target) {
                cache_.add(record, now);
            }
        }
    }
    noteAddresses(now);
    // The addresses are asked for as soon as the host is known, not at the next retry.
    if (!askedForAddresses_ && !result()) {
        nextQuery_ = now;
    }
}

void MdnsResolver::advance(MdnsTime now) {
    cache_.expire(now);
    if (!nextQuery_ || done_) {
        return;
    }
    if (complete(now)) {
        done_ = true;
        return;
    }
    MdnsMessage query;
    if (const auto found = result()) {
        // One family is known: ask once for the other while the moment lasts.
        if (!askedForOtherFamily_) {
            askedForOtherFamily_ = true;
            query.questions.push_back({found->host,
                                       found->ipv4.empty() ? mdns::typeA : mdns::typeAaaa,
                                       mdns::classIn, false});
            packets_.push_back(encodeMdnsMessage(query));
        }
        return;
    }
    if (*nextQuery_ > now) {
        return;
    }
    if (const auto known = srv()) {
        query.questions.push_back({known->target, mdns::typeA, mdns::classIn, false});
        query.questions.push_back({known->target, mdns::typeAaaa, mdns::classIn, false});
        askedForAddresses_ = true;
    } else {
        query.questions.push_back({instance_, mdns::typeSrv, mdns::classIn, false});
    }
    packets_.push_back(encodeMdnsMessage(query));
    nextQuery_ = now + interval_;
    interval_ *= 2;
}

std::optional<MdnsTime> MdnsResolver::nextWake() const {
    if (const auto found = result()) {
        if (done_ || (!found->ipv4.empty() && !found->ipv6.empty())) {
            return std::nullopt;
        }
        const MdnsTime end = *firstAddress_ + gatherWindow;
        return askedForOtherFamily_ || !nextQuery_ ? end : std::min(end, *nextQuery_);
    }
    return nextQuery_;
}

std::vector<std::vector<std::uint8_t>> MdnsResolver::takePackets() {
    return std::exchange(packets_, {});
}

std::optional<MdnsResolution> MdnsResolver::result() const {
    const auto known = srv();
    if (!known) {
        return std::nullopt;
    }
    MdnsResolution resolution{known->port, known->target, {}, {}};
    for (const auto* entry : cache_.find(known->target, mdns::typeA)) {
        resolution.ipv4.push_back(*entry->record.aAddress());
    }
    for (const auto* entry : cache_.find(known->target, mdns::typeAaaa)) {
        resolution.ipv6.push_back(*entry->record.aaaaAddress());
    }
    if (resolution.ipv4.empty() && resolution.ipv6.empty()) {
        return std::nullopt;
    }
    return resolution;
}

}  // namespace sorvanta
