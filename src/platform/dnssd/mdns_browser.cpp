#include "platform/dnssd/mdns_browser.h"

#include <algorithm>

namespace sorvanta {

namespace {

constexpr int detailAttempts = 3;
constexpr std::chrono::seconds detailRetry{1};
// Reconfirmation asks two or more times within the doubt window: at once, a second and
// three seconds later.
constexpr int reconfirmQueries = 3;
constexpr std::chrono::seconds reconfirmGaps[] = {std::chrono::seconds(1), std::chrono::seconds(2)};
// The first query after an instance left the results.
constexpr std::chrono::seconds lostRequery{1};

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

void MdnsBrowser::reconfirm(const MdnsName& instance, MdnsTime now) {
    if (!started_) {
        return;
    }
    std::vector<MdnsName> hosts;
    for (const auto* entry : cache_.find(instance, mdns::typeSrv)) {
        if (auto srv = entry->record.srvData()) {
            hosts.push_back(srv->target);
        }
    }
    auto isHost = [&hosts](const MdnsName& name) {
        return std::find(hosts.begin(), hosts.end(), name) != hosts.end();
    };
    const auto doubted = cache_.doubt(
        [&](const MdnsRecord& record) {
            switch (record.type) {
                case mdns::typePtr:
                    return record.name == serviceType_ && record.ptrTarget() == instance;
                case mdns::typeSrv:
                case mdns::typeTxt:
                    return record.name == instance;
                case mdns::typeA:
                case mdns::typeAaaa:
                    return isHost(record.name);
                default:
                    return false;
            }
        },
        now);
    if (doubted == 0) {
        return;  // unknown, or already being reconfirmed
    }
    Reconfirmation asking;
    asking.next = now;
    asking.questions = {{serviceType_, mdns::typePtr, mdns::classIn, false},
                        {instance, mdns::typeSrv, mdns::classIn, false},
                        {instance, mdns::typeTxt, mdns::classIn, false}};
    for (const auto& host : hosts) {
        asking.questions.push_back({host, mdns::typeA, mdns::classIn, false});
        asking.questions.push_back({host, mdns::typeAaaa, mdns::classIn, false});
    }
    reconfirmations_.push_back(std::move(asking));
}

void MdnsBrowser::linkDown(MdnsTime now) {
    if (!started_) {
        return;
    }
    // Everything heard over the link goes unless heard again within the doubt window: not at
    // once, so that a connection over the same link notices the loss itself first (and says
    // why), and a cable that is only wiggled loses nobody.
    cache_.doubt([](const MdnsRecord&) { return true; }, now);
    reconfirmations_.clear();  // asking goes nowhere while the link is down
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

void MdnsBrowser::receive(const MdnsMessage& message, MdnsTime now,
                          const asio::ip::udp::endpoint& source) {
    if (!message.isResponse() && source.port() != mdns::port) {
        return;
    }
    receive(message, now);
}

void MdnsBrowser::receive(const MdnsMessage& message, MdnsTime now) {
    if (!started_ || !message.isStandard()) {
        return;
    }
    if (!message.isResponse()) {
        cache_.noteUnanswered(message, now);
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
            // A record in doubt is never offered as known: its owner must answer it.
            if (!entry->doubted && left > entry->record.ttl / 2) {
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
    for (auto& asking : reconfirmations_) {
        if (asking.sent < reconfirmQueries && asking.next <= now) {
            for (const auto& question : asking.questions) {
                ask(question.name, question.type);
            }
            if (++asking.sent < reconfirmQueries) {
                asking.next = now + reconfirmGaps[asking.sent - 1];
            }
        }
    }
    std::erase_if(reconfirmations_, [](const auto& r) { return r.sent >= reconfirmQueries; });
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
        const bool lost = std::any_of(results_.begin(), results_.end(), [&](const auto& old) {
            return std::none_of(results.begin(), results.end(), [&](const auto& result) {
                return result.instanceName == old.instanceName;
            });
        });
        if (lost) {
            // An instance that went is the one most likely to come back soon (its cable
            // plugged in again, its host answering again): ask again from a short interval,
            // so that it is found within about as long as it was away rather than at the next
            // query of a back-off that may have grown to an hour.
            nextQuery_ = std::min(nextQuery_.value_or(now + lostRequery), now + lostRequery);
            interval_ = std::min<std::chrono::milliseconds>(interval_, 2 * lostRequery);
        }
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
    for (const auto& asking : reconfirmations_) {
        consider(asking.next);
    }
    return next;
}

std::vector<std::vector<std::uint8_t>> MdnsBrowser::takePackets() {
    return std::exchange(packets_, {});
}

}  // namespace sorvanta
