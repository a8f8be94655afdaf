#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "protocol/peer.h"
#include "support/uuid.h"

namespace sorvanta {

// The identity each Bonjour service name last advertised in its TXT record, so that a peer
// keeps its identity when a later browse result arrives without a usable record. Bounded to
// `capacity` service names; the name recorded first goes first.
class AdvertisedIdentities {
  public:
    static constexpr std::size_t capacity = 32;

    struct Advertised {
        Uuid id;
        bool compatible = true;
        std::optional<std::string> model;
        bool operator==(const Advertised&) const = default;
    };

    // Stores a fresh identity under the name and returns it; with none, returns what is
    // remembered for the name and changes nothing.
    std::optional<Advertised> record(const std::optional<Advertised>& fresh,
                                     const std::string& serviceName);
    // Removes every remembered identity with this instance identifier.
    void forget(const Uuid& id);

    const std::map<std::string, Advertised>& entries() const { return entries_; }
    const std::vector<std::string>& order() const { return order_; }

  private:
    std::map<std::string, Advertised> entries_;
    std::vector<std::string> order_;
};

// The visible Macs of the pinned interface, built from browse results. A plain value; no
// I/O and no clock.
class PeerDirectory {
  public:
    static constexpr std::size_t maximumPeers = 32;
    static constexpr std::size_t maximumNameCharacters = 128;

    // One browse result as the service hands it in.
    struct Entry {
        std::string serviceName;
        std::string endpoint;
        // Absent when the result carried no TXT record.
        std::optional<std::map<std::string, std::string>> txt;
        bool operator==(const Entry&) const = default;
    };

    struct Update {
        std::set<std::string> vanished;
        bool changed = false;
    };

    explicit PeerDirectory(Uuid localID) : localID_(localID) {}

    // Replaces peers, endpoints and remembered keys from the entries and records identities.
    Update update(std::vector<Entry> entries);
    // The one peer this Mac should dial now: the only listed peer, when it is compatible,
    // has an instance, and is remembered or sorts after this Mac by identifier text.
    std::optional<Peer> dialCandidate() const;
    // Instances of the listed peers whose identity came from memory, in list order,
    // leaving `excluded` out.
    std::vector<Uuid> rememberedInstances(const Uuid& excluded) const;
    // Drops one instance for a browse restart: its remembered identities, its peers, every
    // endpoint and its remembered key.
    void forgetInstance(const Uuid& instance);
    // The discovery teardown: peers, endpoints and remembered keys go, identities stay.
    void clearPeers();

    const Uuid& localID() const { return localID_; }
    AdvertisedIdentities& identities() { return identities_; }
    const AdvertisedIdentities& identities() const { return identities_; }
    const std::vector<Peer>& peers() const { return peers_; }
    const std::map<std::string, std::string>& endpoints() const { return endpoints_; }
    const std::set<std::string>& remembered() const { return remembered_; }

  private:
    Uuid localID_;
    AdvertisedIdentities identities_;
    std::vector<Peer> peers_;
    std::map<std::string, std::string> endpoints_;
    std::set<std::string> remembered_;
};

}  // namespace sorvanta
