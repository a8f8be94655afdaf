#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sorvanta {

// Record types and class values used by multicast DNS service discovery.
namespace mdns {
inline constexpr std::uint16_t typeA = 1;
inline constexpr std::uint16_t typePtr = 12;
inline constexpr std::uint16_t typeTxt = 16;
inline constexpr std::uint16_t typeAaaa = 28;
inline constexpr std::uint16_t typeSrv = 33;
inline constexpr std::uint16_t typeNsec = 47;
inline constexpr std::uint16_t typeAny = 255;
inline constexpr std::uint16_t classIn = 1;
inline constexpr std::uint16_t classAny = 255;
inline constexpr std::uint16_t port = 5353;
// Largest message we build or accept (the multicast DNS limit for one datagram).
inline constexpr std::size_t maxMessageSize = 9000;
// Messages we build stay below a typical Ethernet payload so they never fragment.
inline constexpr std::size_t preferredMessageSize = 1440;
}  // namespace mdns

// A domain name as its labels (each 1 to 63 bytes, at most 255 bytes encoded). Names
// compare ASCII case-insensitively, as DNS names do.
struct MdnsName {
    std::vector<std::string> labels;

    MdnsName() = default;
    explicit MdnsName(std::vector<std::string> labels) : labels(std::move(labels)) {}

    // Splits dotted text at unescaped dots ("\." and "\\" escape); no trailing dot needed.
    static MdnsName fromText(std::string_view text);
    // Dotted text with a trailing dot, dots and backslashes inside labels escaped.
    std::string text() const;
    // Prepends one label (an instance name is one label, spaces and dots included).
    MdnsName prefixed(std::string label) const;
    // True when this name is `suffix` with exactly one more label in front.
    bool isChildOf(const MdnsName& suffix) const;
    // Encoded length in wire form (labels with length bytes and the final zero).
    std::size_t wireLength() const;
    bool valid() const;

    bool operator==(const MdnsName& other) const;
};

// A service's SRV data.
struct MdnsSrv {
    std::uint16_t priority = 0;
    std::uint16_t weight = 0;
    std::uint16_t port = 0;
    MdnsName target;
};

// One resource record. `rdata` is always the uncompressed form (names expanded), which
// is also the form that probe tie-breaking compares.
struct MdnsRecord {
    MdnsName name;
    std::uint16_t type = 0;
    std::uint16_t rrclass = mdns::classIn;
    bool cacheFlush = false;
    std::uint32_t ttl = 0;
    std::vector<std::uint8_t> rdata;

    static MdnsRecord ptr(MdnsName name, const MdnsName& target, std::uint32_t ttl);
    static MdnsRecord srv(MdnsName name, const MdnsSrv& srv, std::uint32_t ttl);
    // Each string at most 255 bytes; an empty list becomes the one empty string.
    static MdnsRecord txt(MdnsName name, const std::vector<std::string>& strings,
                          std::uint32_t ttl);
    static MdnsRecord a(MdnsName name, const std::array<std::uint8_t, 4>& address,
                        std::uint32_t ttl);
    static MdnsRecord aaaa(MdnsName name, const std::array<std::uint8_t, 16>& address,
                           std::uint32_t ttl);

    // Decoders of the rdata; absent when the type differs or the data is malformed.
    std::optional<MdnsName> ptrTarget() const;
    std::optional<MdnsSrv> srvData() const;
    std::optional<std::vector<std::string>> txtStrings() const;
    std::optional<std::array<std::uint8_t, 4>> aAddress() const;
    std::optional<std::array<std::uint8_t, 16>> aaaaAddress() const;

    // Same name, type, class and data (TTL and cache-flush bit ignored).
    bool sameData(const MdnsRecord& other) const;
};

struct MdnsQuestion {
    MdnsName name;
    std::uint16_t type = 0;
    std::uint16_t qclass = mdns::classIn;
    bool unicastResponse = false;
};

struct MdnsMessage {
    static constexpr std::uint16_t responseFlags = 0x8400;  // response, authoritative

    std::uint16_t id = 0;
    std::uint16_t flags = 0;
    std::vector<MdnsQuestion> questions;
    std::vector<MdnsRecord> answers;
    std::vector<MdnsRecord> authorities;
    std::vector<MdnsRecord> additionals;

    bool isResponse() const { return (flags & 0x8000) != 0; }
    // A standard query or response; messages with another opcode or a response code
    // are ignored by multicast DNS.
    bool isStandard() const { return (flags & 0x780F) == 0; }
};

// Why a received packet was dropped.
enum class MdnsParseError {
    none,
    truncated,       // a field runs past the end of the packet
    tooLarge,        // more bytes than one multicast DNS datagram may hold
    tooManyRecords,  // counts that the packet cannot hold or beyond our bound
    badLabel,        // a label type that is not a plain label or a pointer
    badPointer,      // a compression pointer not strictly backwards
    nameTooLong,     // more than 255 bytes or 128 labels
    badRdata,        // record data inconsistent with its type or length
};

const char* toText(MdnsParseError error);

// Parses one received packet. Every bound is checked; on any fault the packet is
// rejected as a whole and `error` says why.
std::optional<MdnsMessage> parseMdnsMessage(std::span<const std::uint8_t> packet,
                                            MdnsParseError* error = nullptr);

// Encodes a message with name compression. Records that would push the message past
// `limit` bytes are left out (the header counts say what was written), so a long list
// of known answers never produces an oversized datagram.
std::vector<std::uint8_t> encodeMdnsMessage(const MdnsMessage& message,
                                            std::size_t limit = mdns::preferredMessageSize);

}  // namespace sorvanta
