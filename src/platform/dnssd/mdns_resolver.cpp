#include "platform/dnssd/mdns_resolver.h"

namespace sorvanta {

MdnsResolver::MdnsResolver(MdnsName instance, std::uint32_t seed)
    : instance_(std::move(instance)), cache_(seed) {}

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
    // The addresses are asked for as soon as the host is known, not at the next retry.
    if (!askedForAddresses_ && !result()) {
        nextQuery_ = now;
    }
}

void MdnsResolver::advance(MdnsTime now) {
    cache_.expire(now);
    if (!nextQuery_ || *nextQuery_ > now || result()) {
        return;
    }
    MdnsMessage query;
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
    return result() ? std::nullopt : nextQuery_;
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
