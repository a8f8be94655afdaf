#include "platform/dnssd/mdns_responder.h"

#include <algorithm>
#include <cstdio>

namespace sorvanta {

namespace {

using std::chrono::milliseconds;

constexpr int probeCount = 3;
constexpr milliseconds probeInterval{250};
constexpr int announcementCount = 2;
constexpr std::chrono::seconds announcementInterval{1};
constexpr std::chrono::seconds lostTieBreakDelay{1};
// After 15 conflicts within 10 seconds a host must slow its probing down to one
// attempt every 5 seconds, so two misbehaving hosts cannot flood the link.
constexpr std::size_t conflictBurst = 15;
constexpr std::chrono::seconds conflictWindow{10};
constexpr std::chrono::seconds slowProbeDelay{5};
// Replies to one-shot queries carry short TTLs: such an asker does not take part in
// multicast DNS and would never hear a goodbye.
constexpr std::uint32_t legacyMaxTtl = 10;

const MdnsName& serviceTypeEnumeration() {
    static const MdnsName name = MdnsName::fromText("_services._dns-sd._udp.local");
    return name;
}

// Lexicographic order of probe records: class, type, then the uncompressed data.
int compareRecords(const MdnsRecord& a, const MdnsRecord& b) {
    if (a.rrclass != b.rrclass) {
        return a.rrclass < b.rrclass ? -1 : 1;
    }
    if (a.type != b.type) {
        return a.type < b.type ? -1 : 1;
    }
    if (a.rdata != b.rdata) {
        return std::lexicographical_compare(a.rdata.begin(), a.rdata.end(), b.rdata.begin(),
                                            b.rdata.end())
                   ? -1
                   : 1;
    }
    return 0;
}

std::vector<MdnsRecord> sortedForTieBreak(std::vector<MdnsRecord> records) {
    std::sort(records.begin(), records.end(),
              [](const MdnsRecord& a, const MdnsRecord& b) { return compareRecords(a, b) < 0; });
    return records;
}

MdnsMessage response() {
    MdnsMessage message;
    message.flags = MdnsMessage::responseFlags;
    return message;
}

}  // namespace

MdnsResponder::MdnsResponder(MdnsServiceDescription service, std::uint32_t seed)
    : service_(std::move(service)), random_(seed) {
    buildRecords();
}

MdnsName MdnsResponder::instanceFullName() const {
    return service_.serviceType.prefixed(service_.instanceName);
}

MdnsName MdnsResponder::hostFullName() const {
    return MdnsName({service_.hostLabel, "local"});
}

void MdnsResponder::buildRecords() {
    const MdnsName instance = instanceFullName();
    const MdnsName host = hostFullName();
    records_.clear();
    records_.push_back(MdnsRecord::ptr(service_.serviceType, instance, service_.otherTtl));
    records_.push_back(
        MdnsRecord::srv(instance, MdnsSrv{0, 0, service_.port, host}, service_.hostTtl));
    records_.push_back(MdnsRecord::txt(instance, service_.txt, service_.otherTtl));
    for (const auto& address : service_.ipv4) {
        records_.push_back(MdnsRecord::a(host, address, service_.hostTtl));
    }
    for (const auto& address : service_.ipv6) {
        records_.push_back(MdnsRecord::aaaa(host, address, service_.hostTtl));
    }
    // Browsers that list every service type on the link find ours through this one.
    records_.push_back(
        MdnsRecord::ptr(serviceTypeEnumeration(), service_.serviceType, service_.otherTtl));
    for (auto& record : records_) {
        record.cacheFlush = record.type != mdns::typePtr;  // the PTRs are shared
    }
    lastMulticast_.assign(records_.size(), std::nullopt);
    pending_.assign(records_.size(), false);
    pendingDue_.reset();
}

std::chrono::milliseconds MdnsResponder::randomMillis(int from, int to) {
    return milliseconds(from + static_cast<int>(random_() % static_cast<unsigned>(to - from + 1)));
}

void MdnsResponder::start(MdnsTime now) {
    if (state_ != State::idle) {
        return;
    }
    beginProbing(now + randomMillis(0, 250));
}

void MdnsResponder::restart(MdnsTime now) {
    if (state_ == State::idle || state_ == State::stopped) {
        return;
    }
    beginProbing(now + randomMillis(0, 250));
}

void MdnsResponder::updateAddresses(std::vector<std::array<std::uint8_t, 4>> ipv4,
                                    std::vector<std::array<std::uint8_t, 16>> ipv6, MdnsTime now) {
    const std::vector<MdnsRecord> before = records_;
    service_.ipv4 = std::move(ipv4);
    service_.ipv6 = std::move(ipv6);
    buildRecords();
    // Addresses given up get a goodbye; peers would otherwise keep them for their TTL.
    if (state_ == State::announcing || state_ == State::announced) {
        MdnsMessage goodbye = response();
        for (auto record : before) {
            const bool kept = std::any_of(records_.begin(), records_.end(),
                                          [&](const MdnsRecord& r) { return r.sameData(record); });
            if (!kept) {
                record.ttl = 0;
                goodbye.answers.push_back(std::move(record));
            }
        }
        if (!goodbye.answers.empty()) {
            packets_.push_back(encodeMdnsMessage(goodbye, mdns::maxMessageSize));
        }
    }
    restart(now);
}

void MdnsResponder::beginProbing(MdnsTime firstProbe) {
    state_ = State::probing;
    probesSent_ = 0;
    announcementsSent_ = 0;
    nextStep_ = firstProbe;
    pending_.assign(records_.size(), false);
    pendingDue_.reset();
}

MdnsResponder::Owner MdnsResponder::ownerOf(const MdnsName& name) const {
    if (name == instanceFullName()) {
        return Owner::instance;
    }
    if (name == hostFullName()) {
        return Owner::host;
    }
    return Owner::none;
}

std::vector<const MdnsRecord*> MdnsResponder::uniqueRecordsOf(Owner owner) const {
    std::vector<const MdnsRecord*> found;
    for (const auto& record : records_) {
        if (record.cacheFlush && ownerOf(record.name) == owner) {
            found.push_back(&record);
        }
    }
    return found;
}

void MdnsResponder::sendProbe() {
    MdnsMessage probe;
    probe.questions.push_back({instanceFullName(), mdns::typeAny, mdns::classIn, false});
    probe.questions.push_back({hostFullName(), mdns::typeAny, mdns::classIn, false});
    for (const auto& record : records_) {
        if (record.cacheFlush) {
            MdnsRecord proposed = record;
            proposed.cacheFlush = false;
            probe.authorities.push_back(std::move(proposed));
        }
    }
    packets_.push_back(encodeMdnsMessage(probe, mdns::maxMessageSize));
}

void MdnsResponder::sendAnnouncement() {
    MdnsMessage message = response();
    message.answers = records_;
    packets_.push_back(encodeMdnsMessage(message, mdns::maxMessageSize));
}

void MdnsResponder::receive(const MdnsMessage& message, MdnsTime now,
                            const asio::ip::udp::endpoint& source) {
    if (state_ == State::idle || state_ == State::stopped || !message.isStandard()) {
        return;
    }
    if (message.isResponse()) {
        handleResponse(message, now);
    } else if (state_ == State::probing) {
        handleProbe(message, now);
    } else {
        handleQuery(message, now, source);
    }
}

void MdnsResponder::handleProbe(const MdnsMessage& message, MdnsTime now) {
    for (Owner owner : {Owner::instance, Owner::host}) {
        std::vector<MdnsRecord> theirs;
        for (const auto& record : message.authorities) {
            if (ownerOf(record.name) == owner) {
                theirs.push_back(record);
            }
        }
        if (theirs.empty()) {
            continue;
        }
        std::vector<MdnsRecord> ours;
        for (const auto* record : uniqueRecordsOf(owner)) {
            ours.push_back(*record);
        }
        ours = sortedForTieBreak(std::move(ours));
        theirs = sortedForTieBreak(std::move(theirs));
        int order = 0;
        for (std::size_t i = 0; i < std::min(ours.size(), theirs.size()) && order == 0; ++i) {
            order = compareRecords(ours[i], theirs[i]);
        }
        if (order == 0 && ours.size() != theirs.size()) {
            order = ours.size() < theirs.size() ? -1 : 1;
        }
        // Equal data is our own probe coming back; the later data wins the tie.
        if (order < 0) {
            beginProbing(now + lostTieBreakDelay);
            return;
        }
    }
}

void MdnsResponder::handleResponse(const MdnsMessage& message, MdnsTime now) {
    for (const auto* section : {&message.answers, &message.additionals}) {
        for (const auto& record : *section) {
            const Owner owner = ownerOf(record.name);
            if (owner == Owner::none || record.ttl == 0) {
                continue;
            }
            const bool ours = std::any_of(records_.begin(), records_.end(),
                                          [&](const MdnsRecord& r) { return r.sameData(record); });
            if (ours) {
                continue;
            }
            if (state_ == State::probing) {
                conflict(owner, now);
                return;
            }
            // Once announced only a different record of a type we own is a conflict;
            // the names are claimed again from scratch.
            const bool sameType = std::any_of(records_.begin(), records_.end(), [&](const auto& r) {
                return r.cacheFlush && r.type == record.type && r.name == record.name;
            });
            if (sameType) {
                beginProbing(now);
                return;
            }
        }
    }
}

void MdnsResponder::conflict(Owner owner, MdnsTime now) {
    recentConflicts_.push_back(now);
    while (!recentConflicts_.empty() && now - recentConflicts_.front() > conflictWindow) {
        recentConflicts_.pop_front();
    }
    if (owner == Owner::instance) {
        service_.instanceName = nextName(service_.instanceName);
        events_.push_back({Event::Kind::renamed, service_.instanceName});
    } else {
        char label[32];
        std::snprintf(label, sizeof label, "sorvanta-%08x%04x", static_cast<unsigned>(random_()),
                      static_cast<unsigned>(random_() & 0xFFFF));
        service_.hostLabel = label;
    }
    buildRecords();
    beginProbing(recentConflicts_.size() >= conflictBurst ? now + slowProbeDelay : now);
}

void MdnsResponder::handleQuery(const MdnsMessage& message, MdnsTime now,
                                const asio::ip::udp::endpoint& source) {
    const bool probe = !message.authorities.empty();
    const bool legacy = source.port() != mdns::port;
    std::vector<bool> unicast(records_.size(), false);
    for (const auto& question : message.questions) {
        if (question.qclass != mdns::classIn && question.qclass != mdns::classAny) {
            continue;
        }
        for (std::size_t i = 0; i < records_.size(); ++i) {
            const MdnsRecord& record = records_[i];
            if (!(record.name == question.name) ||
                (question.type != mdns::typeAny && question.type != record.type)) {
                continue;
            }
            const bool known = std::any_of(
                message.answers.begin(), message.answers.end(), [&](const MdnsRecord& answer) {
                    return answer.sameData(record) && answer.ttl >= record.ttl / 2;
                });
            if (known) {
                continue;
            }
            const bool recent =
                lastMulticast_[i] &&
                now - *lastMulticast_[i] < std::chrono::milliseconds(record.ttl * 250ull);
            if (legacy || (question.unicastResponse && recent)) {
                unicast[i] = true;
                continue;
            }
            const auto spacing =
                probe ? std::chrono::milliseconds(probeInterval) : std::chrono::milliseconds(1000);
            if (lastMulticast_[i] && now - *lastMulticast_[i] < spacing) {
                continue;
            }
            pending_[i] = true;
            // Unique answers go at once; shared ones wait so that several responders'
            // answers spread out.
            const MdnsTime due = record.cacheFlush ? now : now + randomMillis(20, 120);
            if (!pendingDue_ || due < *pendingDue_) {
                pendingDue_ = due;
            }
        }
    }
    if (std::none_of(unicast.begin(), unicast.end(), [](bool b) { return b; })) {
        return;
    }
    MdnsMessage reply = answersFor(unicast);
    if (legacy) {
        reply.id = message.id;
        reply.questions = message.questions;
        for (auto* section : {&reply.answers, &reply.additionals}) {
            for (auto& record : *section) {
                record.cacheFlush = false;
                record.ttl = std::min(record.ttl, legacyMaxTtl);
            }
        }
    }
    unicasts_.push_back({source, encodeMdnsMessage(reply)});
}

MdnsMessage MdnsResponder::answersFor(const std::vector<bool>& chosen) const {
    MdnsMessage message = response();
    bool wantService = false;
    bool wantAddresses = false;
    for (std::size_t i = 0; i < records_.size(); ++i) {
        if (!chosen[i]) {
            continue;
        }
        message.answers.push_back(records_[i]);
        const bool servicePtr =
            records_[i].type == mdns::typePtr && records_[i].name == service_.serviceType;
        wantService |= servicePtr;
        wantAddresses |= servicePtr || records_[i].type == mdns::typeSrv;
    }
    for (std::size_t i = 0; i < records_.size(); ++i) {
        const auto type = records_[i].type;
        const bool wanted = (wantService && (type == mdns::typeSrv || type == mdns::typeTxt)) ||
                            (wantAddresses && (type == mdns::typeA || type == mdns::typeAaaa));
        if (wanted && !chosen[i]) {
            message.additionals.push_back(records_[i]);
        }
    }
    return message;
}

void MdnsResponder::sendPendingAnswers(MdnsTime now) {
    MdnsMessage message = answersFor(pending_);
    for (std::size_t i = 0; i < records_.size(); ++i) {
        if (pending_[i]) {
            lastMulticast_[i] = now;
        }
    }
    pending_.assign(records_.size(), false);
    pendingDue_.reset();
    if (!message.answers.empty()) {
        packets_.push_back(encodeMdnsMessage(message, mdns::maxMessageSize));
    }
}

void MdnsResponder::advance(MdnsTime now) {
    if (nextStep_ && *nextStep_ <= now) {
        if (state_ == State::probing) {
            if (probesSent_ < probeCount) {
                sendProbe();
                ++probesSent_;
                nextStep_ = now + probeInterval;
            } else {
                state_ = State::announcing;
                sendAnnouncement();
                std::fill(lastMulticast_.begin(), lastMulticast_.end(), now);
                announcementsSent_ = 1;
                nextStep_ = now + announcementInterval;
                events_.push_back({Event::Kind::established, service_.instanceName});
            }
        } else if (state_ == State::announcing) {
            sendAnnouncement();
            std::fill(lastMulticast_.begin(), lastMulticast_.end(), now);
            if (++announcementsSent_ >= announcementCount) {
                state_ = State::announced;
                nextStep_.reset();
            } else {
                nextStep_ = now + announcementInterval * announcementsSent_;
            }
        }
    }
    if (pendingDue_ && *pendingDue_ <= now) {
        sendPendingAnswers(now);
    }
}

std::vector<std::uint8_t> MdnsResponder::stop() {
    const bool announced = state_ == State::announcing || state_ == State::announced;
    state_ = State::stopped;
    nextStep_.reset();
    pendingDue_.reset();
    if (!announced) {
        return {};
    }
    MdnsMessage message = response();
    for (auto record : records_) {
        record.ttl = 0;
        message.answers.push_back(std::move(record));
    }
    return encodeMdnsMessage(message, mdns::maxMessageSize);
}

std::optional<MdnsTime> MdnsResponder::nextWake() const {
    if (nextStep_ && pendingDue_) {
        return std::min(*nextStep_, *pendingDue_);
    }
    return nextStep_ ? nextStep_ : pendingDue_;
}

std::vector<std::vector<std::uint8_t>> MdnsResponder::takePackets() {
    return std::exchange(packets_, {});
}

std::vector<MdnsUnicast> MdnsResponder::takeUnicasts() {
    return std::exchange(unicasts_, {});
}

std::vector<MdnsResponder::Event> MdnsResponder::takeEvents() {
    return std::exchange(events_, {});
}

std::string MdnsResponder::nextName(const std::string& name) {
    std::string base = name;
    unsigned number = 2;
    // A name that already ends in " (n)" counts on from n.
    const auto open = name.rfind(" (");
    if (open != std::string::npos && name.size() > open + 3 && name.back() == ')') {
        const std::string digits = name.substr(open + 2, name.size() - open - 3);
        if (!digits.empty() && digits.size() < 9 && digits[0] != '0' &&
            std::all_of(digits.begin(), digits.end(),
                        [](char c) { return c >= '0' && c <= '9'; })) {
            const unsigned value = static_cast<unsigned>(std::stoul(digits));
            if (value >= 2) {
                base = name.substr(0, open);
                number = value + 1;
            }
        }
    }
    const std::string suffix = " (" + std::to_string(number) + ")";
    return fitLabel(base, 63 - suffix.size()) + suffix;
}

std::string MdnsResponder::fitLabel(std::string name, std::size_t bytes) {
    if (name.size() <= bytes) {
        return name;
    }
    std::size_t cut = bytes;
    // Never cut inside a UTF-8 sequence.
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    name.resize(cut);
    return name;
}

}  // namespace sorvanta
