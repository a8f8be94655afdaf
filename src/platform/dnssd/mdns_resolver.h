#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "platform/dnssd/mdns_message.h"
#include "platform/dnssd/mdns_record_cache.h"

namespace sorvanta {

// Where a service instance can be reached: its port and its host's addresses.
struct MdnsResolution {
    std::uint16_t port = 0;
    MdnsName host;
    std::vector<std::array<std::uint8_t, 4>> ipv4;
    std::vector<std::array<std::uint8_t, 16>> ipv6;
};

// Resolves one service instance on one interface, as a state machine. It starts from
// the records a browser already holds (seed), asks for what is missing — the
// instance's SRV record, then the addresses of the host it names — repeating the
// question after 1, 2, 4, … seconds. Once the first address is known it waits a short
// moment for the other family (asking for it once), since a host's IPv4 and IPv6
// addresses often arrive in separate packets; with both families it is done at once.
// The caller bounds the whole attempt in time.
class MdnsResolver {
  public:
    MdnsResolver(MdnsName instance, std::uint32_t seed);

    // How long after its first address a resolution waits for the other family.
    static constexpr std::chrono::milliseconds gatherWindow{200};

    // Records a browser already holds about the instance; before start().
    void seed(const std::vector<MdnsRecordCache::Entry>& known, MdnsTime now);
    void start(MdnsTime now);
    void receive(const MdnsMessage& message, MdnsTime now);
    void advance(MdnsTime now);

    std::optional<MdnsTime> nextWake() const;
    std::vector<std::vector<std::uint8_t>> takePackets();

    // Present once the SRV record and at least one address are known.
    std::optional<MdnsResolution> result() const;
    // True once the result holds both families or the gathering moment is over.
    bool complete(MdnsTime now) const;

  private:
    std::optional<MdnsSrv> srv() const;
    void noteAddresses(MdnsTime firstHeard);

    MdnsName instance_;
    MdnsRecordCache cache_;
    std::optional<MdnsTime> nextQuery_;
    std::chrono::milliseconds interval_{1000};
    bool askedForAddresses_ = false;
    bool askedForOtherFamily_ = false;
    bool done_ = false;
    std::optional<MdnsTime> firstAddress_;  // when the first address was heard
    std::vector<std::vector<std::uint8_t>> packets_;
};

}  // namespace sorvanta
