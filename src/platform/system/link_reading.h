#pragma once

#include <cstdint>
#include <optional>

namespace sorvanta {

// The state of one interface's link. When `active` is absent or false, `rate` and
// `fullDuplex` are absent too.
struct LinkReading {
    std::optional<bool> active;         // absent when no source tells
    std::optional<std::uint64_t> rate;  // bit/s
    std::optional<bool> fullDuplex;

    bool operator==(const LinkReading&) const = default;
};

// What the driver's own link query answered. `valid` is absent when the query could not be
// made and false when the driver reports no valid link status; `active` is only ever true
// when `valid` is.
struct MediaReading {
    std::optional<bool> valid;
    bool active = false;
    std::optional<std::uint64_t> rate;  // bit/s
    std::optional<bool> fullDuplex;

    bool operator==(const MediaReading&) const = default;
};

// Decodes a BSD-style media status word and active-media word: valid and active bits of
// the status, and for Ethernet media the rate of the subtype and the duplex bits. Kept so
// that readings taken from such words decode the same way everywhere.
MediaReading decodeMedia(std::int32_t status, std::int32_t active);

// The rate of an Ethernet media subtype (active word masked with 0xF001F); absent when the
// subtype is not one of the known rates.
std::optional<std::uint64_t> mediaSubtypeSpeed(std::uint32_t subtype);

// Joins the device's own link status word (bit 0x1 valid, bit 0x2 up) and speed with the
// driver query: a valid status decides whether the link is up, even against the query; the
// query's rate wins whenever it has one; nothing but `active` is known of a link not up.
LinkReading combineLink(std::optional<std::uint32_t> status, std::optional<std::uint64_t> speed,
                        const MediaReading& media);

}  // namespace sorvanta
