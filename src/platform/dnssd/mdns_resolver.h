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

// Resolves one service instance on one interface, as a state machine: it asks for
// the instance's SRV record, then for the addresses of the host it names, repeating
// the question after 1, 2, 4, … seconds until both are known. The caller bounds the
// whole attempt in time.
class MdnsResolver {
  public:
    MdnsResolver(MdnsName instance, std::uint32_t seed);

    void start(MdnsTime now);
    void receive(const MdnsMessage& message, MdnsTime now);
    void advance(MdnsTime now);

    std::optional<MdnsTime> nextWake() const;
    std::vector<std::vector<std::uint8_t>> takePackets();

    // Present once the SRV record and at least one address are known.
    std::optional<MdnsResolution> result() const;

  private:
    std::optional<MdnsSrv> srv() const;

    MdnsName instance_;
    MdnsRecordCache cache_;
    std::optional<MdnsTime> nextQuery_;
    std::chrono::milliseconds interval_{1000};
    bool askedForAddresses_ = false;
    std::vector<std::vector<std::uint8_t>> packets_;
};

}  // namespace sorvanta
