#include "platform/dnssd/mdns_browser.h"

#include <algorithm>

namespace sorvanta {

namespace {

constexpr int detailAttempts = 3;
constexpr std::chrono::seconds detailRetry{1};

std::string foldedKey(const MdnsName& name) {
    std::string key = name.text();
    for (char& c : key) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return key;
}

}  // namespace

MdnsBrowser::MdnsBrowser(MdnsName serviceType, std::uint32_t seed)
    : serviceType_(std::move(serviceType)), random_(seed), cache_(seed ^ 0x5bd1e995u) {}

void MdnsBrowser::start(MdnsTime now) {
    if (started_) {
        return;
    }
    started_ = true;
    nextQuery_ = now + std::chrono::milliseconds(20 + random_() % 101);
    interval_ = std::chrono::milliseconds(1000);
}

void MdnsBrowser::restartQueries(MdnsTime now) {
    if (!started_) {
        return;
    }
    nextQuery_ = now + std::chrono::milliseconds(20 + random_() % 101);
    interval_ = std::chrono::milliseconds(1000);
}

bool MdnsBrowser::relevant(const MdnsRecord& record, const std::vector<MdnsName>& targets) const {
    if (record.rrclass != mdns::classIn) {
        return false;
    }
    switch (record.type) {
        case mdns::typePtr:
            return record.name == serviceType_;
        case mdns::typeSrv:
        case mdns::typeTxt:
            return record.name.isChildOf(serviceType_);
        case mdns::typeA:
        case mdns::typeAaaa:
            return std::find(targets.begin(), targets.end(), record.name) != targets.end();
        default:
            return false;
    }
}

void MdnsBrowser::receive(const MdnsMessage& message, MdnsTime now) {
    if (!started_ || !message.isResponse() || !message.isStandard()) {
        return;
    }
    // Host addresses are kept for the hosts our instances name, whether the SRV record
    // came earlier or in this same message.
    std::vector<MdnsName> targets;
    for (const auto& entry : cache_.entries()) {
        if (auto srv = entry.record.srvData()) {
            targets.push_back(srv->target);
        }
    }
    for (const auto* section : {&message.answers, &message.additionals}) {
        for (const auto& record : *section) {
            if (auto srv = record.srvData(); srv && record.name.isChildOf(serviceType_)) {
                targets.push_back(srv->target);
            }
        }
    }
    for (const auto* section : {&message.answers, &message.additionals}) {
        for (const auto& record : *section) {
            if (relevant(record, targets)) {
                cache_.add(record, now);
            }
        }
    }
    update(now);
}

void MdnsBrowser::sendQuery(const std::vector<MdnsQuestion>& questions, MdnsTime now) {
    MdnsMessage query;
    query.questions = questions;
    for (const auto& question : questions) {
        for (const auto* entry : cache_.find(question.name, question.type)) {
            const std::uint32_t left = MdnsRecordCache::remainingTtl(*entry, now);
            if (left > entry->record.ttl / 2) {
                MdnsRecord known = entry->record;
                known.ttl = left;
                known.cacheFlush = false;
                query.answers.push_back(std::move(known));
            }
        }
    }
    packets_.push_back(encodeMdnsMessage(query));
}

void MdnsBrowser::advance(MdnsTime now) {
    if (!started_) {
        return;
    }
    std::vector<MdnsQuestion> questions;
    auto ask = [&questions](const MdnsName& name, std::uint16_t type) {
        const bool asked = std::any_of(questions.begin(), questions.end(), [&](const auto& q) {
            return q.type == type && q.name == name;
        });
        if (!asked) {
            questions.push_back({name, type, mdns::classIn, false});
        }
    };
    if (nextQuery_ && *nextQuery_ <= now) {
        ask(serviceType_, mdns::typePtr);
        nextQuery_ = now + interval_;
        interval_ = std::min<std::chrono::milliseconds>(interval_ * 2, maxQueryInterval);
    }
    for (const auto& record : cache_.takeRefreshDue(now)) {
        if (record.type == mdns::typePtr || record.type == mdns::typeSrv ||
            record.type == mdns::typeTxt) {
            ask(record.name, record.type);
        }
    }
    for (auto& [key, pending] : details_) {
        if (pending.attempts < detailAttempts && pending.next <= now) {
            const MdnsName instance = MdnsName::fromText(key);
            if (!cache_.find(instance, mdns::typeTxt).empty() &&
                !cache_.find(instance, mdns::typeSrv).empty()) {
                pending.attempts = detailAttempts;
                continue;
            }
            ask(instance, mdns::typeSrv);
            ask(instance, mdns::typeTxt);
            ++pending.attempts;
            pending.next = now + detailRetry;
        }
    }
    if (!questions.empty()) {
        sendQuery(questions, now);
    }
    update(now);
}

void MdnsBrowser::update(MdnsTime now) {
    cache_.expire(now);
    std::vector<MdnsBrowseResult> results;
    std::map<std::string, Pending> details;
    for (const auto* entry : cache_.find(serviceType_, mdns::typePtr)) {
        auto instance = entry->record.ptrTarget();
        if (!instance || !instance->isChildOf(serviceType_)) {
            continue;
        }
        const std::string key = foldedKey(*instance);
        if (details.count(key) != 0) {
            continue;  // the same instance twice, differing only in letter case
        }
        auto known = details_.find(key);
        details[key] = known != details_.end() ? known->second : Pending{0, now};
        MdnsBrowseResult result{instance->labels.front(), std::nullopt};
        const MdnsRecordCache::Entry* newest = nullptr;
        for (const auto* txt : cache_.find(*instance, mdns::typeTxt)) {
            if (newest == nullptr || txt->received > newest->received) {
                newest = txt;
            }
        }
        if (newest != nullptr) {
            result.txt =
                txtFromStrings(newest->record.txtStrings().value_or(std::vector<std::string>{}));
        }
        results.push_back(std::move(result));
    }
    details_ = std::move(details);
    std::sort(results.begin(), results.end(),
              [](const auto& a, const auto& b) { return a.instanceName < b.instanceName; });
    if (results != results_) {
        results_ = std::move(results);
        changed_ = true;
    }
}

std::optional<MdnsTime> MdnsBrowser::nextWake() const {
    std::optional<MdnsTime> next = nextQuery_;
    auto consider = [&next](MdnsTime at) {
        if (!next || at < *next) {
            next = at;
        }
    };
    if (auto cacheEvent = cache_.nextEvent()) {
        consider(*cacheEvent);
    }
    for (const auto& [key, pending] : details_) {
        if (pending.attempts < detailAttempts) {
            consider(pending.next);
        }
    }
    return next;
}

std::vector<std::vector<std::uint8_t>> MdnsBrowser::takePackets() {
    return std::exchange(packets_, {});
}

}  // namespace sorvanta
