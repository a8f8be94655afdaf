#include "service/peer_directory.h"

#include <algorithm>

#include "protocol/mac_model.h"
#include "service/peer_text.h"

namespace sorvanta {

namespace {

constexpr const char* protocolVersionText = "9";

bool compatibleRecord(const std::optional<std::map<std::string, std::string>>& txt) {
    if (!txt || txt->empty()) {
        return true;
    }
    auto version = txt->find("v");
    return version == txt->end() || version->second == protocolVersionText;
}

std::optional<AdvertisedIdentities::Advertised> freshIdentity(
    const std::optional<std::map<std::string, std::string>>& txt, bool compatible) {
    if (!txt || txt->empty()) {
        return std::nullopt;
    }
    auto id = txt->find("id");
    if (id == txt->end()) {
        return std::nullopt;
    }
    auto parsed = Uuid::parse(id->second);
    // Only the standard text form counts; parse also takes lower case, which is standard.
    if (!parsed || id->second.size() != 36) {
        return std::nullopt;
    }
    AdvertisedIdentities::Advertised advertised{*parsed, compatible, std::nullopt};
    auto model = txt->find("m");
    if (model != txt->end() && MacModel::isValidIdentifier(model->second)) {
        advertised.model = model->second;
    }
    return advertised;
}

}  // namespace

std::optional<AdvertisedIdentities::Advertised> AdvertisedIdentities::record(
    const std::optional<Advertised>& fresh, const std::string& serviceName) {
    if (!fresh) {
        auto found = entries_.find(serviceName);
        if (found == entries_.end()) {
            return std::nullopt;
        }
        return found->second;
    }
    auto [position, inserted] = entries_.insert_or_assign(serviceName, *fresh);
    (void)position;
    if (inserted) {
        order_.push_back(serviceName);
        if (order_.size() > capacity) {
            entries_.erase(order_.front());
            order_.erase(order_.begin());
        }
    }
    return fresh;
}

void AdvertisedIdentities::forget(const Uuid& id) {
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (it->second.id == id) {
            const std::string name = it->first;
            order_.erase(std::remove(order_.begin(), order_.end(), name), order_.end());
            it = entries_.erase(it);
        } else {
            ++it;
        }
    }
}

PeerDirectory::Update PeerDirectory::update(std::vector<Entry> entries) {
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry& a, const Entry& b) { return a.endpoint < b.endpoint; });
    std::map<std::string, std::string> endpoints;
    std::vector<Peer> peers;
    std::set<std::string> remembered;
    for (const Entry& entry : entries) {
        if (endpoints.size() >= maximumPeers) {
            break;
        }
        const bool compatible = compatibleRecord(entry.txt);
        const auto fresh = freshIdentity(entry.txt, compatible);
        const auto inForce = identities_.record(fresh, entry.serviceName);
        std::optional<Uuid> instance;
        if (inForce) {
            instance = inForce->id;
        }
        if (instance && *instance == localID_) {
            continue;
        }
        const std::string key = instance ? instance->text() : entry.endpoint;
        if (endpoints.contains(key)) {
            continue;
        }
        endpoints.emplace(key, entry.endpoint);
        if (!fresh && instance) {
            remembered.insert(key);
        }
        Peer peer;
        peer.id = key;
        peer.name = cleanPeerText(entry.serviceName, maximumNameCharacters);
        peer.instance = instance;
        peer.compatible = inForce ? inForce->compatible : compatible;
        peer.model = inForce ? inForce->model : std::nullopt;
        peers.push_back(std::move(peer));
    }
    Update result;
    for (const auto& [key, endpoint] : endpoints_) {
        if (!endpoints.contains(key)) {
            result.vanished.insert(key);
        }
    }
    result.changed =
        !std::equal(endpoints_.begin(), endpoints_.end(), endpoints.begin(), endpoints.end(),
                    [](const auto& a, const auto& b) { return a.first == b.first; });
    std::stable_sort(peers.begin(), peers.end(),
                     [](const Peer& a, const Peer& b) { return a.id < b.id; });
    endpoints_ = std::move(endpoints);
    remembered_ = std::move(remembered);
    peers_ = std::move(peers);
    return result;
}

std::optional<Peer> PeerDirectory::dialCandidate() const {
    if (peers_.size() != 1) {
        return std::nullopt;
    }
    const Peer& peer = peers_.front();
    if (!peer.compatible || !peer.instance) {
        return std::nullopt;
    }
    if (remembered_.contains(peer.id)) {
        return peer;
    }
    if (localID_.text() < peer.instance->text()) {
        return peer;
    }
    return std::nullopt;
}

std::vector<Uuid> PeerDirectory::rememberedInstances(const Uuid& excluded) const {
    std::vector<Uuid> instances;
    for (const Peer& peer : peers_) {
        if (peer.instance && remembered_.contains(peer.id) && *peer.instance != excluded) {
            instances.push_back(*peer.instance);
        }
    }
    return instances;
}

void PeerDirectory::forgetInstance(const Uuid& instance) {
    identities_.forget(instance);
    std::erase_if(peers_, [&](const Peer& peer) { return peer.instance == instance; });
    endpoints_.clear();
    remembered_.erase(instance.text());
}

void PeerDirectory::clearPeers() {
    peers_.clear();
    endpoints_.clear();
    remembered_.clear();
}

}  // namespace sorvanta
