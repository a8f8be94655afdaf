#include "platform/system/link_reading.h"

#include <unordered_map>

namespace sorvanta {

std::optional<std::uint64_t> mediaSubtypeSpeed(std::uint32_t subtype) {
    // A function-local static is initialised once, thread-safely, on first use.
    static const std::unordered_map<std::uint32_t, std::uint64_t> speeds{
        {0x00003, 10'000'000},     {0x00006, 100'000'000},    {0x0000B, 1'000'000'000},
        {0x0000E, 1'000'000'000},  {0x0000F, 1'000'000'000},  {0x00010, 1'000'000'000},
        {0x10000, 2'500'000'000},  {0x00016, 2'500'000'000},  {0x00017, 5'000'000'000},
        {0x00012, 10'000'000'000}, {0x00013, 10'000'000'000}, {0x00014, 10'000'000'000},
        {0x00015, 10'000'000'000}, {0x10001, 10'000'000'000}, {0x10002, 10'000'000'000},
        {0x10003, 10'000'000'000}, {0x1000A, 10'000'000'000},
    };
    const auto found = speeds.find(subtype);
    if (found == speeds.end()) {
        return std::nullopt;
    }
    return found->second;
}

MediaReading decodeMedia(std::int32_t status, std::int32_t active) {
    const auto statusBits = static_cast<std::uint32_t>(status);
    const auto activeBits = static_cast<std::uint32_t>(active);
    MediaReading reading;
    reading.valid = (statusBits & 0x1) != 0;
    reading.active = *reading.valid && (statusBits & 0x2) != 0;
    constexpr std::uint32_t typeMask = 0xE0;
    constexpr std::uint32_t ethernetType = 0x20;
    if ((activeBits & typeMask) != ethernetType) {
        return reading;
    }
    reading.rate = mediaSubtypeSpeed(activeBits & 0xF001F);
    const bool full = (activeBits & 0x100000) != 0;
    const bool half = (activeBits & 0x200000) != 0;
    if (full != half) {
        reading.fullDuplex = full;
    }
    return reading;
}

LinkReading combineLink(std::optional<std::uint32_t> status, std::optional<std::uint64_t> speed,
                        const MediaReading& media) {
    LinkReading reading;
    if (status && (*status & 0x1) != 0) {
        reading.active = (*status & 0x2) != 0;
    } else if (media.valid.value_or(false)) {
        reading.active = media.active;
    }
    if (!reading.active.value_or(false)) {
        return reading;
    }
    if (media.active && media.rate) {
        reading.rate = media.rate;
    } else if (speed && *speed != 0) {
        reading.rate = speed;
    }
    if (media.active) {
        reading.fullDuplex = media.fullDuplex;
    }
    return reading;
}

}  // namespace sorvanta
