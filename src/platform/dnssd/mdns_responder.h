#pragma once

#include <array>
#include <asio/ip/udp.hpp>
#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "platform/dnssd/mdns_message.h"
#include "platform/dnssd/mdns_record_cache.h"

namespace sorvanta {

// What one interface advertises: a service instance and the host it runs on.
struct MdnsServiceDescription {
    std::string instanceName;  // one label, UTF-8
    MdnsName serviceType;      // e.g. _sorvanta._tcp.local
    std::uint16_t port = 0;
    std::vector<std::string> txt;  // TXT strings ("key=value")
    std::string hostLabel;         // first label of the host name; the domain is "local"
    std::vector<std::array<std::uint8_t, 4>> ipv4;
    std::vector<std::array<std::uint8_t, 16>> ipv6;
    // Records that name the host (SRV, A, AAAA) live shorter than the others.
    std::uint32_t hostTtl = 120;
    std::uint32_t otherTtl = 4500;
};

// A reply sent to one asker rather than to the group.
struct MdnsUnicast {
    asio::ip::udp::endpoint destination;
    std::vector<std::uint8_t> packet;
};

// The responder for one service instance on one interface, as a state machine: it is
// fed received messages and the time, and hands out the packets to multicast and the
// replies to unicast. It
// claims the names first (three probes 250 ms apart after a random start of up to
// 250 ms; a simultaneous probe is settled by comparing the records, the loser retries
// a second later), renames the instance "Name (2)", "Name (3)", … when the name is
// taken, announces twice a second apart, answers queries (shared records after 20 to
// 120 ms, unique ones at once, nothing an asker already knows, no record more than
// once a second) and on stop says goodbye with TTL 0. It also answers the service type
// enumeration (`_services._dns-sd._udp.local` PTR). A question with the unicast-response
// bit is answered to the asker alone while the record was multicast within a quarter of
// its TTL (the group's caches are fresh), else to the group. A query from a port other
// than 5353 comes from a one-shot resolver that hears only unicast: it gets a unicast
// reply at once with its ID and questions echoed, no cache-flush bits and TTLs of at
// most 10 s.
class MdnsResponder {
  public:
    enum class State { idle, probing, announcing, announced, stopped };

    struct Event {
        enum class Kind {
            established,  // names claimed, first announcement sent
            renamed,      // the instance name was taken; `name` is the new one
        };
        Kind kind;
        std::string name;
    };

    MdnsResponder(MdnsServiceDescription service, std::uint32_t seed);

    // Where a multicast DNS participant sends from.
    static asio::ip::udp::endpoint groupMember() { return {asio::ip::address_v4(), mdns::port}; }

    void start(MdnsTime now);
    void receive(const MdnsMessage& message, MdnsTime now,
                 const asio::ip::udp::endpoint& source = groupMember());
    // Runs what is due at `now`; call it when `nextWake()` comes.
    void advance(MdnsTime now);
    // The link came back or the addresses changed: claim the names again and announce
    // the (new) records; addresses given up get a goodbye.
    void restart(MdnsTime now);
    void updateAddresses(std::vector<std::array<std::uint8_t, 4>> ipv4,
                         std::vector<std::array<std::uint8_t, 16>> ipv6, MdnsTime now);
    // Stops; returns the goodbye packet, empty when nothing had been announced.
    std::vector<std::uint8_t> stop();

    std::optional<MdnsTime> nextWake() const;
    std::vector<std::vector<std::uint8_t>> takePackets();
    std::vector<MdnsUnicast> takeUnicasts();
    std::vector<Event> takeEvents();

    State state() const { return state_; }
    const std::string& instanceName() const { return service_.instanceName; }
    const std::string& hostLabel() const { return service_.hostLabel; }
    MdnsName instanceFullName() const;
    MdnsName hostFullName() const;
    // Every record advertised, unique ones with the cache-flush bit.
    const std::vector<MdnsRecord>& records() const { return records_; }

    // "Name" → "Name (2)", "Name (2)" → "Name (3)"; kept within 63 bytes.
    static std::string nextName(const std::string& name);
    // The name cut to at most `bytes` bytes (one label holds 63), never inside a UTF-8
    // sequence.
    static std::string fitLabel(std::string name, std::size_t bytes = 63);

  private:
    enum class Owner { none, instance, host };

    void buildRecords();
    void beginProbing(MdnsTime firstProbe);
    void sendProbe();
    void sendAnnouncement();
    void handleProbe(const MdnsMessage& message, MdnsTime now);
    void handleResponse(const MdnsMessage& message, MdnsTime now);
    void handleQuery(const MdnsMessage& message, MdnsTime now,
                     const asio::ip::udp::endpoint& source);
    void sendPendingAnswers(MdnsTime now);
    // A response with the records flagged in `chosen` as answers and what goes along
    // with them (SRV, TXT and addresses after our PTR, addresses after the SRV).
    MdnsMessage answersFor(const std::vector<bool>& chosen) const;
    void conflict(Owner owner, MdnsTime now);
    Owner ownerOf(const MdnsName& name) const;
    std::vector<const MdnsRecord*> uniqueRecordsOf(Owner owner) const;
    std::chrono::milliseconds randomMillis(int from, int to);

    MdnsServiceDescription service_;
    std::minstd_rand random_;
    State state_ = State::idle;
    std::vector<MdnsRecord> records_;
    std::vector<std::optional<MdnsTime>> lastMulticast_;
    int probesSent_ = 0;
    int announcementsSent_ = 0;
    std::optional<MdnsTime> nextStep_;
    std::vector<bool> pending_;
    std::optional<MdnsTime> pendingDue_;
    std::deque<MdnsTime> recentConflicts_;
    std::vector<std::vector<std::uint8_t>> packets_;
    std::vector<MdnsUnicast> unicasts_;
    std::vector<Event> events_;
};

}  // namespace sorvanta
